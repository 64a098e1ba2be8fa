#!/usr/bin/env bash
# Downloads real version pairs of Debian packages into a cache outside the
# repository and extracts the files the benchmark patches.
#
#   bench/fetch_corpus.sh [CACHE]      (default: ~/.cache/selfpatch-corpus)
#
# Layout of the cache:
#   debs/<pkg>_<version>.deb           what apt-get download fetched
#   <set>/<n>-<version>/<files>        one folder per version, oldest first
# A version that the archive no longer serves is replaced by the nearest one
# it does serve (apt-cache madison), and the substitution is printed and
# written to <cache>/SUBSTITUTIONS.
set -euo pipefail

cache=${1:-${SELFPATCH_CORPUS:-$HOME/.cache/selfpatch-corpus}}
mkdir -p "$cache/debs"
: > "$cache/SUBSTITUTIONS"

# set name | package | files to keep (space separated) | versions, oldest first
sets=(
  "libssl3|libssl3|usr/lib/x86_64-linux-gnu/libcrypto.so.3 usr/lib/x86_64-linux-gnu/libssl.so.3|3.0.17-1~deb12u2 3.0.20-1~deb12u2 3.0.22-1~deb12u2"
  "xvfb|xvfb|usr/bin/Xvfb|2:21.1.7-3+deb12u12 2:21.1.7-3+deb12u13"
  "git|git|usr/lib/git-core/git|1:2.39.5-0+deb12u2 1:2.39.5-0+deb12u3"
)

served_versions() {  # pkg -> one version per line, as the archive lists them
  apt-cache madison "$1" | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -u
}

# The served version closest to the wanted one: the wanted one itself when
# served, otherwise the highest served version below it, otherwise the lowest
# above it.
nearest_version() {
  local pkg=$1 want=$2 v best_below="" best_above=""
  while read -r v; do
    [ -z "$v" ] && continue
    if [ "$v" = "$want" ]; then echo "$v"; return; fi
    if dpkg --compare-versions "$v" lt "$want"; then
      if [ -z "$best_below" ] || dpkg --compare-versions "$v" gt "$best_below"; then best_below=$v; fi
    else
      if [ -z "$best_above" ] || dpkg --compare-versions "$v" lt "$best_above"; then best_above=$v; fi
    fi
  done < <(served_versions "$pkg")
  if [ -n "$best_below" ]; then echo "$best_below"; else echo "$best_above"; fi
}

for entry in "${sets[@]}"; do
  IFS='|' read -r set pkg files versions <<< "$entry"
  n=0
  for want in $versions; do
    n=$((n + 1))
    have=$(nearest_version "$pkg" "$want")
    if [ -z "$have" ]; then
      echo "fetch_corpus: no version of $pkg is served at all" >&2
      exit 1
    fi
    if [ "$have" != "$want" ]; then
      echo "fetch_corpus: $pkg $want is no longer served; using $have" | tee -a "$cache/SUBSTITUTIONS" >&2
    fi
    safe=${have//:/%3a}
    dir="$cache/$set/$n-$safe"
    if [ -d "$dir" ] && [ -f "$dir/.complete" ]; then
      continue
    fi
    deb="$cache/debs/${pkg}_${safe}.deb"
    if [ ! -s "$deb" ]; then
      # apt warns that it downloads unsandboxed when run as root; harmless.
      if ! (cd "$cache/debs" && apt-get download -qq "$pkg=$have") \
           2> >(grep -v "unsandboxed" >&2); then
        echo "fetch_corpus: apt-get download $pkg=$have failed" >&2
        exit 1
      fi
      got=$(ls "$cache/debs/${pkg}_${safe}_"*.deb 2>/dev/null | head -n1)
      if [ -z "$got" ]; then
        echo "fetch_corpus: apt-get download left no file for $pkg=$have" >&2
        exit 1
      fi
      mv "$got" "$deb"
    fi
    tmp=$(mktemp -d)
    dpkg-deb -x "$deb" "$tmp"
    rm -rf "$dir"
    mkdir -p "$dir"
    for f in $files; do
      if [ ! -e "$tmp/$f" ]; then
        echo "fetch_corpus: $f missing from $pkg $have" >&2
        rm -rf "$tmp"
        exit 1
      fi
      # Resolve symlinks: the benchmark patches the bytes, not the link.
      cp -L "$tmp/$f" "$dir/$(basename "$f")"
    done
    rm -rf "$tmp"
    touch "$dir/.complete"
    echo "fetch_corpus: $set $n $have" >&2
  done
done
echo "$cache"
