#!/usr/bin/env bash
# Checks a PE executable's import table against an allow-list, and that its
# headers ask for no Windows newer than 95/98 and NT 4.
#
#   check_imports.sh EXE ALLOW_LIST
#
# The allow-list names "dll function" pairs, one a line ('#' starts a
# comment). Every import must be listed; a new import fails until someone has
# made sure it exists on Windows 98 and NT 4 and added it. Prints what does
# not fit; exit status 0 when everything does.
set -uo pipefail
exe=$1
allow=$2
objdump=
for t in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump objdump; do
  command -v "$t" >/dev/null 2>&1 && { objdump=$t; break; }
done
[ -n "$objdump" ] || { echo "no objdump" >&2; exit 2; }

headers=$("$objdump" -p "$exe") || { echo "cannot read $exe" >&2; exit 2; }
imports=$(printf '%s\n' "$headers" | awk '
  /DLL Name:/ { dll = tolower($3); next }
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }' | sort -u)
if [ -z "$imports" ]; then
  echo "no imports found in $exe" >&2
  exit 1
fi
allowed=$(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' "$allow" |
  awk 'NF == 2 { print tolower($1), $2 }' | sort -u)

status=0
extra=$(comm -23 <(printf '%s\n' "$imports") <(printf '%s\n' "$allowed"))
if [ -n "$extra" ]; then
  echo "imports not on the allow-list:" >&2
  printf '  %s\n' $extra | paste -d' ' - - >&2
  status=1
fi

# Windows 95/98 and NT 4 refuse images that ask for a later subsystem or
# OS version (NT 4 is 4.0; 98 is 4.10).
version() { printf '%s\n' "$headers" | awk -v k="$1" '$1 == k { print $2 }'; }
for kind in Subsystem OSystem; do
  major=$(version "Major${kind}Version")
  minor=$(version "Minor${kind}Version")
  if [ -z "$major" ] || [ "$major" -gt 4 ] || { [ "$major" -eq 4 ] && [ "$minor" -gt 0 ]; }; then
    echo "$kind version $major.$minor is newer than 4.0" >&2
    status=1
  fi
done
exit $status
