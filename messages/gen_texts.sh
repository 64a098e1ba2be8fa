#!/bin/sh
# Converts messages/texts.utf8 into a C++ header of code page 950 byte
# strings.
#
#   gen_texts.sh ICONV SOURCE OUTPUT
#
# Each text becomes `inline constexpr char NAME[]` written entirely as \xHH
# escapes, so neither the compiler's input nor its execution character set
# can change a byte. The script fails (and writes no header) when a line is
# malformed, a text has no code page 950 form, or a text's stated byte length
# does not match.
set -u
set -f  # a text or name must never be taken as a file pattern

iconv_bin=$1
source=$2
output=$3

tmp_out="$output.tmp.$$"
tmp_text="$output.text.$$"
tmp_body="$output.body.$$"
tmp_list="$output.list.$$"
trap 'rm -f "$tmp_out" "$tmp_text" "$tmp_body" "$tmp_list"' EXIT
: >"$tmp_body"
: >"$tmp_list"

fail() {
  echo "$source:$lineno: $*" >&2
  exit 1
}

lineno=0
count=0
while IFS= read -r line || [ -n "$line" ]; do
  lineno=$((lineno + 1))
  case $line in
    '' | '#'*) continue ;;
  esac
  case $line in
    *'"'*'"'*) ;;
    *) fail "expected: NAME [BYTES] \"text\"" ;;
  esac
  head=${line%%\"*}         # NAME [BYTES] and the spaces before the quote
  text=${line#*\"}          # after the first quote ...
  text=${text%\"*}          # ... up to the last one
  set -- $head
  name=${1:-}
  want=${2:-}
  [ $# -le 2 ] || fail "unexpected words before the text"
  case $name in
    '' | [!A-Za-z_]* | *[!A-Za-z0-9_]*) fail "bad name '$name'" ;;
  esac
  case $want in
    *[!0-9]*) fail "bad byte count '$want'" ;;
  esac

  printf '%s' "$text" >"$tmp_text"
  if ! "$iconv_bin" -f UTF-8 -t CP950 "$tmp_text" >"$tmp_out"; then
    fail "$name has no code page 950 form"
  fi
  bytes=$(wc -c <"$tmp_out" | tr -d ' ')
  if [ -n "$want" ] && [ "$want" != "$bytes" ]; then
    fail "$name is $bytes bytes in code page 950, expected $want"
  fi
  # 16 bytes per literal piece; adjacent literals are joined by the compiler.
  escaped=$(od -An -v -tx1 "$tmp_out" |
    sed -e 's/^ *//' -e 's/ *$//' -e '/^$/d' -e 's/\([0-9a-f][0-9a-f]\) */\\x\1/g' \
        -e 's/^/    "/' -e 's/$/"/')
  [ -n "$escaped" ] || escaped='    ""'
  {
    printf 'inline constexpr char %s[] =  // %s bytes\n' "$name" "$bytes"
    printf '%s;\n' "$escaped"
  } >>"$tmp_body"
  printf '//   %-26s %4s  %s\n' "$name" "$bytes" "$text" >>"$tmp_list"
  count=$((count + 1))
done <"$source"

[ "$count" -gt 0 ] || { echo "$source: no texts" >&2; exit 1; }

{
  echo '// Generated from messages/texts.utf8 by messages/gen_texts.sh; do not edit.'
  echo '//'
  echo '// Code page 950 (Big5) byte strings, NUL-terminated; sizeof(NAME) - 1 is'
  echo '// the length in bytes. The texts, as written in UTF-8 in the source:'
  echo '//'
  echo '//   name                       bytes text'
  # A text ending in a backslash would splice the next comment line; none
  # does, but keep every listed line ending in a visible character.
  sed 's/\\$/\\ (ends in a backslash)/' "$tmp_list"
  echo ''
  echo '#ifndef SELFPATCH_GENERATED_TEXTS_BIG5_H'
  echo '#define SELFPATCH_GENERATED_TEXTS_BIG5_H'
  echo ''
  cat "$tmp_body"
  echo ''
  echo '#endif'
} >"$tmp_out" || exit 1
mv -f "$tmp_out" "$output" || exit 1
