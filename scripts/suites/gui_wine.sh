#!/usr/bin/env bash
# End-to-end tests of the Windows program: the x86_64 patch stub runs under
# wine64 in a virtual X display and a small Win32 driver works its window as
# a person would (reads the log list, the folder field and the buttons,
# clicks, answers message boxes, closes it). Also checks the shipping i686
# stub's import table and size.
#
# Last line: "N passed, N failed". Screenshots go to $work/*.png.
#
# Environment (defaults in brackets):
#   SP_WIN64_BUILD  x86_64 build with patch-stub.exe, the driver and the
#                   fixture writer [build/win64]
#   SP_WIN32_BUILD  i686 build with the shipping patch-stub.exe [build/win32]
#   SP_GUI_WORK     scratch folder, wiped first [build/gui-wine]
#   SP_LONG_KIB     size of the file whose patch is interrupted [512]
#   SP_GUI_ONLY     run only these scenarios (names of the test_ functions)
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
win64=${SP_WIN64_BUILD:-$root/build/win64}
win32=${SP_WIN32_BUILD:-$root/build/win32}
work=${SP_GUI_WORK:-$root/build/gui-wine}
export SP_LONG_KIB=${SP_LONG_KIB:-512}

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1${2:+: $2}"; }
# check NAME COMMAND...: one result line per check.
check() {
  local name=$1; shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# --- The shipping stub: imports and size (no Wine needed) -----------------
stub32=$win32/patch-stub.exe
if [ -f "$stub32" ]; then
  check "i686 stub imports only allowed functions" \
    bash tests/shell_e2e/check_imports.sh "$stub32" tests/shell_e2e/allowed_imports.txt
  size=$(stat -c %s "$stub32")
  echo "i686 stub: $size bytes (budget 65536)"
  check "i686 stub within 64 KiB" test "$size" -le 65536
else
  fail "i686 stub built" "$stub32 missing"
fi

stub=$win64/patch-stub.exe
driver=$win64/shell_e2e_driver.exe
fixtures=$win64/shell_e2e_fixtures.exe
for f in "$stub" "$driver" "$fixtures"; do
  [ -f "$f" ] || { fail "x86_64 test programs built" "$f missing"; finish; }
done

# --- Wine in a virtual display ----------------------------------------------
rm -rf "$work"
mkdir -p "$work"
. tests/shell_e2e/wine_session.sh
trap wine_session_stop EXIT
wine_session_start "$work" || { fail "virtual X display started"; finish; }

# UTF-8 text -> code page 950 bytes.
big5() { printf '%s' "$1" | iconv -f UTF-8 -t CP950; }

drive() { "$wine" "$driver" "$@"; }

# start_stub DIR EXE [ARGS...]: runs the patch in DIR in the background.
start_stub() {
  local dir=$1; shift
  (cd "$dir" && exec "$wine" "$@") >>"$work/stub.log" 2>&1 &
  stub_pid=$!
}
# stub_wait: waits (at most 60 s) for the stub; its exit code in stub_rc.
# Runs in the calling shell, the stub's parent, so that wait can reap it.
stub_wait() {
  local i
  stub_rc=timeout
  for i in $(seq 600); do
    if ! kill -0 "$stub_pid" 2>/dev/null ||
       [ "$(cut -d' ' -f3 "/proc/$stub_pid/stat" 2>/dev/null)" = Z ]; then
      wait "$stub_pid"
      stub_rc=$?
      return
    fi
    sleep 0.1
  done
  kill "$stub_pid" 2>/dev/null
  wait "$stub_pid" 2>/dev/null
}
# Ends a stub that a failed test left running.
stop_stub() {
  if kill -0 "$stub_pid" 2>/dev/null; then
    kill "$stub_pid" 2>/dev/null
    wait "$stub_pid" 2>/dev/null
  fi
  return 0
}

# exit_is CODE: the stub ended with CODE.
exit_is() {
  stub_wait
  [ "$stub_rc" = "$1" ] && return 0
  echo "  exit code $stub_rc, expected $1" >&2
  return 1
}
# run TEST [ARGS]: runs a scenario unless SP_GUI_ONLY names others.
run() {
  if [ -n "${SP_GUI_ONLY:-}" ] && ! grep -qw -- "$1" <<<"$SP_GUI_ONLY"; then return; fi
  "$@"
}

shot() { wine_screenshot "$work/$1.png"; }

# field DUMP KEY: the value of "KEY=" in a driver dump.
field() { grep -a "^$2=" "$1" | head -1 | cut -d= -f2-; }
# geometry DUMP KEY: "VISIBLE ENABLED X Y W H" of a control.
geometry() { field "$1" "$2" | cut -d'|' -f1; }
ctext() { field "$1" "$2" | cut -d'|' -f2-; }
# log_lines DUMP: the log list, one line each, as code page 950 bytes.
log_lines() { grep -a '^line=' "$1" | cut -d= -f2-; }

# expect_lines DUMP UTF8-LINES...: the log is exactly these lines.
expect_lines() {
  local dump=$1; shift
  local want=$work/want.txt got=$work/got.txt
  : >"$want"
  local l
  for l in "$@"; do big5 "$l" >>"$want"; printf '\n' >>"$want"; done
  log_lines "$dump" >"$got"
  if cmp -s "$want" "$got"; then return 0; fi
  echo "  log differs; got:" >&2
  iconv -f CP950 -t UTF-8 "$got" | sed 's/^/    | /' >&2
  return 1
}
has_line() { log_lines "$1" | grep -aqxF -- "$(big5 "$2")"; }
same_tree() { diff -r "$1" "$2" >/dev/null; }
no_staging_left() { ! ls -d "$1"/PATCH*.TMP >/dev/null 2>&1; }
temp_files() {
  find "$WINEPREFIX/drive_c/users" -ipath '*/temp/qvx*.tmp' 2>/dev/null | wc -l
}
# log_at DUMP Y H: the log list at y Y, asked for height H. A list box shows
# whole lines only and trims its height to a multiple of the line height.
log_at() {
  local g ih
  read -r _ _ x y w h <<<"$(geometry "$1" log)"
  ih=$(field "$1" item_height)
  [ "$x $y $w" = "9 $2 575" ] && [ "$h" -le "$3" ] && [ "$h" -gt $(($3 - ih)) ]
}

# Texts of the program, as they must appear.
t_checking='正在檢查更新程式檔案，是否真的能夠被套用 :'
t_app='目前正在做 「app.dat」 檔案的更新 : 完畢'
t_new='目前正在做 「sub\new.txt」 檔案的更新 : 完畢'
t_success='太好了! 更新程式成功的更新完畢了! ^_^'
t_cancelled='注意，由於使用者自行要求程式中斷。所以全部的變動都失效，未完成更新的檔案也不會套用:'
t_leave='離 開'
t_title='中文軟體更新程式 (中文化: Quenbori)'

# Exact expected texts of boxes, as "caption=...\ntext=..." in code page 950.
# expect_box FILE CAPTION TEXT (UTF-8; TEXT may hold \r as the byte).
expect_box() {
  local want=$work/want-box.txt
  { printf 'caption='; big5 "$2"; printf '\ntext='; big5 "$3"; printf '\n'; } >"$want"
  if cmp -s "$want" "$1"; then return 0; fi
  echo "  box differs; got:" >&2
  iconv -f CP950 -t UTF-8 "$1" | cat -A | sed 's/^/    | /' >&2
  return 1
}

# --- Fixtures -----------------------------------------------------------------
fix=$work/fix
mkdir -p "$fix"
big5 '這是測試用的授權說明。' >"$fix/notice.txt"
{ big5 '測試更新程式的說明'; printf '\r'; big5 '第二行 line two'; printf '\r'; big5 '第三行'; } >"$fix/description.txt"
if ! (cd "$fix" && "$wine" "$fixtures" "$(winpath "$stub")" . notice.txt description.txt) >"$work/fixtures.log" 2>&1; then
  cat "$work/fixtures.log"
  fail "fixtures written"
  finish
fi
cp "$stub" "$fix/plain.exe"  # no container appended

# --- Started without an argument: applies at once ---------------------------
test_success() {
  local w=$work/success d=$work/success.txt
  cp -r "$fix/basic-old" "$w"
  start_stub "$w" "$fix/basic.exe"
  drive window finished dump "$d" || { stop_stub; fail "success run" "driver"; return; }
  shot after-success
  check "title" test "$(field "$d" title)" = "$(big5 "$t_title")"
  check "success: log lines byte for byte" expect_lines "$d" \
    "$t_checking" "" "$t_app" "$t_new" "" "$t_success"
  check "success: Apply hidden" test "$(geometry "$d" apply | cut -d' ' -f1)" = 0
  check "success: Browse and folder field disabled" \
    test "$(geometry "$d" browse | cut -d' ' -f2)$(geometry "$d" folder | cut -d' ' -f2)" = 00
  check "success: Exit enabled, reads leave" \
    test "$(geometry "$d" exit | cut -d' ' -f2)|$(ctext "$d" exit)" = "1|$(big5 "$t_leave")"
  rm -rf "$w/BACKUP.keep"; mv "$w/BACKUP" "$work/success-backup" 2>/dev/null
  check "success: files patched" same_tree "$w" "$fix/basic-new"
  check "success: old versions in the backup folder" \
    cmp -s "$work/success-backup/app.dat" "$fix/basic-old/app.dat"
  check "success: no staging folder left" no_staging_left "$w"
  check "no message box during the run" drive nobox 500
  # layout without a description
  check "layout: description pane hidden" test "$(geometry "$d" description | cut -d' ' -f1)" = 0
  check "layout: folder row at y 10" \
    test "$(geometry "$d" folder | cut -d' ' -f4,6)/$(geometry "$d" browse | cut -d' ' -f3-)" = "10 25/519 10 65 25"
  check "layout: log at y 65, height 275" log_at "$d" 65 275
  check "layout: bottom buttons" \
    test "$(geometry "$d" info | cut -d' ' -f3-)/$(geometry "$d" apply | cut -d' ' -f3-)/$(geometry "$d" exit | cut -d' ' -f3-)" \
    = "10 345 65 25/449 345 65 25/519 345 65 25"
  check "payload file exists while running" test "$(temp_files)" -ge 1
  drive close done gone
  check "closed: exit code 0" exit_is 0
  check "closed: temporary payload file gone" test "$(temp_files)" = 0
}

# --- Started without an argument: applies at once ---------------------------
run test_success

# --- A description: layout, the Info box, links, shortcuts, Exit -------------
test_described() {
  local w=$work/described d=$work/described.txt
  cp -r "$fix/basic-old" "$w"
  local handler_log=$work/handler.log
  : >"$handler_log"
  export SP_HANDLER_LOG
  SP_HANDLER_LOG=$(winpath "$handler_log")
  start_stub "$w" "$fix/described.exe"
  drive window finished dump "$d" || { stop_stub; fail "described run" "driver"; return; }
  shot with-description
  check "description: log as without one" expect_lines "$d" \
    "$t_checking" "" "$t_app" "$t_new" "" "$t_success"
  check "layout: description pane shown" test "$(geometry "$d" description)" = "1 1 10 25 575 125"
  local want_text
  want_text="$(big5 '測試更新程式的說明')\\r\\r\\n$(big5 '第二行 line two')\\r\\r\\n$(big5 '第三行')"
  check "description: line breaks become CR CR LF" \
    test "$(ctext "$d" description)" = "$want_text"
  check "layout: folder row at y 160" \
    test "$(geometry "$d" folder | cut -d' ' -f4,6)/$(geometry "$d" browse | cut -d' ' -f3-)" = "160 25/519 160 65 25"
  check "layout: log at y 215, height 125" log_at "$d" 215 125

  drive click info box "$work/info.txt" ok
  check "Info box shows the notice" expect_box "$work/info.txt" \
    'Tessaloy 的授權執照' '這是測試用的授權說明。'

  # Links, through a stand-in browser registered for ".htm" pages.
  local drv patch creator
  drv=$(winpath "$driver")
  patch='http://www.example.com/press/patch.htm'
  creator='http://www.example.com/press/creator.htm'
  local -a cases=(
    # association command | click x y | recorded command line
    "\"$drv\" handler \"%1\"|137 349|\"$drv\" handler \"$patch\""
    "$drv handler %1 %1|243 361|$drv handler $patch $patch"
    "$drv handler|300 355|$drv handler $creator"
    "$drv handler %2 \"%1\"|429 349|$drv handler %2 \"$creator\""
  )
  local c assoc at want got i
  for c in "${cases[@]}"; do
    IFS='|' read -r assoc at want <<<"$c"
    : >"$handler_log"
    # shellcheck disable=SC2086
    drive assoc "$assoc" point $at done
    got=
    for i in $(seq 100); do
      got=$(tr -d '\r' <"$handler_log")
      [ -n "$got" ] && break
      sleep 0.2
    done
    check "link at ($at) with '$assoc'" test "$got" = "$want"
  done
  : >"$handler_log"
  check "click beside the links opens nothing" drive point 244 355 done nobox 1500
  check "... and starts no browser" test ! -s "$handler_log"

  local fallback_head='更新程式無法自動的執行系統中的網際網路瀏覽器。 所以請您手動去執行，並且輸入 '
  local fallback_tail=' 這個網址!'
  drive assoc '' point 137 355 box "$work/fallback1.txt" ok done
  check "no browser: fallback box with the address" expect_box "$work/fallback1.txt" \
    Info "$fallback_head\"$patch\"$fallback_tail"
  drive assoc 'Z:\nowhere\browser.exe "%1"' point 280 360 box "$work/fallback2.txt" ok done
  check "browser cannot start: fallback box" expect_box "$work/fallback2.txt" \
    Info "$fallback_head\"$creator\"$fallback_tail"

  # Shortcuts: upper-case letters do nothing; Alt+I is Info; Alt+A runs again
  # although Apply is hidden.
  drive dump "$work/before-alt.txt" alt A done dump "$work/after-alt.txt"
  check "Alt+Shift+A does nothing" cmp -s "$work/before-alt.txt" "$work/after-alt.txt"
  drive alt i box "$work/alt-info.txt" ok done
  check "Alt+I opens the Info box" expect_box "$work/alt-info.txt" \
    'Tessaloy 的授權執照' '這是測試用的授權說明。'
  drive alt a done finished dump "$work/alt-apply.txt"
  check "Alt+A runs again although Apply is hidden" \
    has_line "$work/alt-apply.txt" '目前正在做 「app.dat」 檔案的更新 : (檔案早就已經更新囉!)'

  drive click exit done gone
  check "Exit button: exit code 0" exit_is 0
  unset SP_HANDLER_LOG
}
run test_described

# A description whose line breaks do not fit the pane's buffer: cut at a
# whole line break, never inside a character.
test_long_description() {
  local w=$work/longdesc d=$work/longdesc.txt
  cp -r "$fix/basic-old" "$w"
  start_stub "$w" "$fix/longdesc.exe"
  drive window finished dump "$d" close done gone || { stop_stub; fail "long description run" "driver"; return; }
  check "long description: cut after the last whole unit" python3 - "$d" <<'PY'
import sys
raw = open(sys.argv[1], 'rb').read()
line = [l for l in raw.split(b'\n') if l.startswith(b'description=')][0]
text = line.split(b'|', 1)[1]
text = text.replace(b'\\r', b'\r').replace(b'\\n', b'\n').replace(b'\\\\', b'\\')
want = (b'\xa4\xa4' + b'\r\r\n' * 3) * 182
sys.exit(0 if text == want else 1)
PY
  check "long description: exit code 0" exit_is 0
}
run test_long_description

# --- A first run that fails; another folder, then Apply ------------------------
test_failure() {  # how: type or browse
  local how=$1
  local bad=$work/fail-$how good=$work/good-$how d=$work/fail-$how.txt
  mkdir -p "$bad"
  cp -r "$fix/basic-old" "$good"
  start_stub "$bad" "$fix/basic.exe"
  drive window finished dump "$d" || { stop_stub; fail "failing run" "driver"; return; }
  [ "$how" = type ] && shot after-failure
  check "failure ($how): Apply visible and enabled" test "$(geometry "$d" apply | cut -d' ' -f1-2)" = "1 1"
  check "failure ($how): folder field and Browse enabled" \
    test "$(geometry "$d" folder | cut -d' ' -f2)$(geometry "$d" browse | cut -d' ' -f2)" = 11
  check "failure ($how): the failure is in the log" \
    has_line "$d" '目前正在做 「app.dat」 檔案的更新 : (沒有符合的來源檔案)'
  check "failure ($how): folder untouched" test -z "$(ls -A "$bad")"
  if [ "$how" = type ]; then
    drive folder '' click apply done dump "$d.empty"
    check "Apply with an empty folder field does nothing" \
      test "$(log_lines "$d.empty")" = "$(log_lines "$d")"
    drive folder "$(winpath "$good")" click apply done finished dump "$d.2"
  else
    drive click browse box "$work/browse.txt" cancel done dump "$d.cancel"
    check "Browse cancelled: nothing changes" cmp -s "$d" "$d.cancel"
    check "Browse dialog title" \
      test "$(head -1 "$work/browse.txt")" = "caption=$(big5 '請選擇更新程式「目標資料夾」位置')"

    drive click browse pick "$(winpath "$good/keep.txt")" done dump "$d.picked"
    check "Browse: the folder field shows the picked file" \
      test "$(ctext "$d.picked" folder)" = "$(winpath "$good/keep.txt")"
    drive click apply done finished dump "$d.2"
  fi
  check "retry ($how): success in the other folder" expect_lines "$d.2" \
    "$t_checking" "" "$t_app" "$t_new" "" "$t_success"
  rm -rf "$good/BACKUP"
  check "retry ($how): files patched" same_tree "$good" "$fix/basic-new"
  check "retry ($how): first folder still untouched" test -z "$(ls -A "$bad")"
  drive close done gone
  check "retry ($how): exit code 0" exit_is 0
}
run test_failure type
run test_failure browse

# --- Closing the window during a long run ---------------------------------------
test_cancel() {
  local w=$work/cancel d=$work/cancel.txt
  cp -r "$fix/long-old" "$w"
  start_stub "$w" "$fix/long.exe"
  # The entry's line is up: the rebuild is running. Alt+E (Exit) and Alt+B
  # (Browse) do nothing while it runs; the close box asks.
  drive window lines 3 alt e alt b done nobox 500 dump "$d.busy" \
    close box "$work/question.txt" yes done finished dump "$d" \
    || { stop_stub; fail "cancel run" "driver"; return; }
  check "busy: Exit, Apply, Browse and the folder field disabled" \
    test "$(geometry "$d.busy" exit | cut -d' ' -f2)$(geometry "$d.busy" apply | cut -d' ' -f2)$(geometry "$d.busy" browse | cut -d' ' -f2)$(geometry "$d.busy" folder | cut -d' ' -f2)" = 0000
  check "close during a run asks first" expect_box "$work/question.txt" \
    '請確認 ' '您確定要中斷目前的工作，然後退出程式？'
  check "cancel: code 13 in the log" has_line "$d" "$t_cancelled"
  check "cancel: the window stays" test "$(geometry "$d" exit | cut -d' ' -f1-2)" = "1 1"
  check "cancel: file unchanged" cmp -s "$w/big.dat" "$fix/long-old/big.dat"
  check "cancel: no staging folder left" no_staging_left "$w"
  drive click apply done finished dump "$d.2"
  check "cancel: the next Apply ends with 13 at once" expect_lines "$d.2" \
    "$t_checking" "" "" "$t_cancelled"
  drive close done gone
  check "cancel: exit code 0" exit_is 0
}
run test_cancel

# --- Command line and container failures: a box, an exit code, no window -------
test_usage() {  # name, arguments...
  local name=$1; shift
  start_stub "$work" "$fix/basic.exe" "$@"
  drive box "$work/usage.txt" ok || { stop_stub; fail "usage box ($name)" driver; return; }
  check "usage box ($name)" expect_box "$work/usage.txt" '命令列的使用方法 ' $'用法 : Patchname.exe [路徑]\r'
  check "usage exit code 1 ($name)" exit_is 1
}
run test_usage "two arguments" one two
run test_usage "-h" -h
run test_usage "-h after a folder" some-folder -h

test_no_container() {
  start_stub "$fix" "$fix/plain.exe"
  drive boxshown hidden box "$work/nocontainer.txt" ok || { stop_stub; fail "no container: box, main window hidden" driver; return; }
  pass "no container: main window not shown with the box"
  check "no container: error box" expect_box "$work/nocontainer.txt" '錯誤 ' \
    $'\r'"錯誤! 「$(winpath "$fix/plain.exe")」無取讀取或不是一個更新程式檔案!"
  check "no container: exit code 255" exit_is 255
}
run test_no_container

check "import check refuses a program outside the allow-list" \
  bash -c '! bash tests/shell_e2e/check_imports.sh "$1" tests/shell_e2e/allowed_imports.txt 2>/dev/null' _ "$driver"

finish
