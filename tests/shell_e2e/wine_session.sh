# Sourced by scripts that run the Windows program under Wine (the
# end-to-end suite, the demo): a virtual X display and a Wine prefix set up
# like a Traditional Chinese Windows.
#
#   wine_session_start WORKDIR   Xvfb on a free display, a fresh prefix in
#                                WORKDIR/wineprefix; exports DISPLAY,
#                                WINEPREFIX, WINEDEBUG, LANG, LC_ALL and sets
#                                wine, wineserver. Returns non-zero when the
#                                display cannot be started.
#   wine_session_stop            ends the prefix's wineserver and Xvfb
#   winpath PATH                 the Windows form of a Unix path (Z:\...)
#   wine_screenshot FILE.png     the whole display

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

wine_session_start() {
  local dir=$1 n
  mkdir -p "$dir"
  export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
  export LANG=zh_TW.UTF-8 LC_ALL=zh_TW.UTF-8
  wine_display=
  for n in $(seq 91 140); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
      wine_display=$n
      break
    fi
  done
  [ -n "$wine_display" ] || return 1
  Xvfb ":$wine_display" -screen 0 1024x768x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  wine_xvfb_pid=$!
  export DISPLAY=:$wine_display
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$wine_display" ] && break
    kill -0 "$wine_xvfb_pid" 2>/dev/null || return 1
    sleep 0.1
  done

  "$wine" wineboot -i >"$dir/wineboot.log" 2>&1
  # A virtual desktop: Wine draws the window frames itself, so screenshots
  # show the caption without a window manager. Fonts as on a Traditional
  # Chinese Windows, where the faces the program and the system ask for fall
  # back to a Ming font with Latin letters; left to itself Wine picks a CJK
  # fallback font without Latin letters, and a System font without CJK
  # glyphs (so the folder label comes out wider than the program measures).
  {
    echo 'REGEDIT4'
    echo
    echo '[HKEY_CURRENT_USER\Software\Wine\Explorer]'
    echo '"Desktop"="Default"'
    echo '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]'
    echo '"Default"="1024x768"'
    echo '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]'
    local face
    for face in Fixedsys System Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'MS Sans Serif' PMingLiU MingLiU; do
      echo "\"$face\"=\"AR PL UMing TW\""
    done
  } >"$dir/setup.reg"
  "$wine" regedit /S "$(winpath "$dir/setup.reg")" >>"$dir/wineboot.log" 2>&1
  # The settings take effect with the next wineserver.
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  return 0
}

wine_session_stop() {
  "$wineserver" -k >/dev/null 2>&1
  if [ -n "${wine_xvfb_pid:-}" ]; then
    kill "$wine_xvfb_pid" 2>/dev/null
    wait "$wine_xvfb_pid" 2>/dev/null
  fi
  return 0
}

wine_screenshot() { import -display "$DISPLAY" -window root "$1" 2>/dev/null; }
