#!/usr/bin/env bash
# Patch size, make time, apply time and peak memory of selfpatch against
# bsdiff, xdelta3 and zstd on real version pairs (bench/fetch_corpus.sh),
# measured side by side in one run. Writes bench/results/results.md, .csv
# and patch_sizes.png.
#
#   bench/compare.sh [CACHE]
#
# selfpatch is built with optimisation into build/bench (the default build
# of the tree has none). Each selfpatch patch is applied with
# `selfpatch apply` to a copy of the old folder (the whole transaction:
# staging, checks, commit, backup), each peer's patch with its own tool;
# every result is compared with the new files byte for byte. The copy of
# the old folder is not timed. Ratios are to the best of the three peers
# for the same pair, from this run only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${1:-${SELFPATCH_CORPUS:-$HOME/.cache/selfpatch-corpus}}
results=$root/bench/results
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash bench/fetch_corpus.sh "$cache" >/dev/null

echo "building selfpatch (optimised) ..." >&2
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DSELFPATCH_WERROR=OFF \
  -DSELFPATCH_TESTS=OFF >/dev/null
cmake --build build/bench -j2 --target selfpatch >/dev/null
selfpatch=$root/build/bench/selfpatch

# pair name | set | old version folder | new version folder
pairs=()
add_pair() {  # name set old_index new_index
  local o n
  o=$(ls -d "$cache/$2/$3-"* | head -n1)
  n=$(ls -d "$cache/$2/$4-"* | head -n1)
  pairs+=("$1|$o|$n")
}
add_pair "libssl3 3.0.17->3.0.20" libssl3 1 2
add_pair "libssl3 3.0.20->3.0.22" libssl3 2 3
add_pair "xvfb deb12u12->u13" xvfb 1 2
add_pair "git deb12u2->u3" git 1 2

# Runs a command under /usr/bin/time; sets $secs and $kb.
measure() {
  local t=$work/time.txt
  /usr/bin/time -f "%e %M" -o "$t" "$@" >/dev/null 2>"$work/err.txt" || {
    echo "failed: $*" >&2
    cat "$work/err.txt" >&2
    exit 1
  }
  read -r secs kb < "$t"
}

csv=$results/results.csv
mkdir -p "$results"
echo "pair,tool,patch_bytes,make_s,apply_s,make_kb,apply_kb" > "$csv"

files_of() { (cd "$1" && find . -type f ! -name .complete | sed 's|^\./||' | sort); }

for entry in "${pairs[@]}"; do
  IFS='|' read -r name old new <<< "$entry"
  echo "$name" >&2
  mapfile -t files < <(files_of "$new")
  # Folders holding only the patched files (no marker files).
  rm -rf "$work/old" "$work/new"
  mkdir -p "$work/old" "$work/new"
  for f in "${files[@]}"; do
    cp "$old/$f" "$work/old/$f"
    cp "$new/$f" "$work/new/$f"
  done

  # selfpatch: default (zlib level 9) and --zopfli.
  for variant in default zopfli; do
    extra=()
    [ "$variant" = zopfli ] && extra=(--zopfli)
    measure "$selfpatch" make --quiet --old "$work/old" --new "$work/new" \
      -o "$work/sp.bin" "${extra[@]}"
    make_s=$secs make_kb=$kb
    size=$(stat -c%s "$work/sp.bin")
    rm -rf "$work/target"
    cp -r "$work/old" "$work/target"
    measure "$selfpatch" apply "$work/sp.bin" "$work/target"
    for f in "${files[@]}"; do
      cmp -s "$work/target/$f" "$work/new/$f" || { echo "selfpatch $variant: $f differs" >&2; exit 1; }
    done
    tool="selfpatch"
    [ "$variant" = zopfli ] && tool="selfpatch --zopfli"
    echo "$name,$tool,$size,$make_s,$secs,$make_kb,$kb" >> "$csv"
  done

  # Peers: one patch per file; sizes and times summed, memory the largest.
  for tool in bsdiff xdelta3 zstd; do
    size=0 make_s=0 apply_s=0 make_kb=0 apply_kb=0
    for f in "${files[@]}"; do
      o=$work/old/$f n=$work/new/$f p=$work/$f.$tool out=$work/$f.out
      case $tool in
        bsdiff) measure bsdiff "$o" "$n" "$p" ;;
        xdelta3) measure xdelta3 -e -9 -S djw -f -s "$o" "$n" "$p" ;;
        zstd) measure zstd -q -f --patch-from="$o" -19 --long=27 "$n" -o "$p" ;;
      esac
      make_s=$(awk "BEGIN{print $make_s + $secs}"); [ "$kb" -gt "$make_kb" ] && make_kb=$kb
      size=$((size + $(stat -c%s "$p")))
      case $tool in
        bsdiff) measure bspatch "$o" "$out" "$p" ;;
        xdelta3) measure xdelta3 -d -f -s "$o" "$p" "$out" ;;
        zstd) measure zstd -q -f -d --patch-from="$o" --long=27 "$p" -o "$out" ;;
      esac
      apply_s=$(awk "BEGIN{print $apply_s + $secs}"); [ "$kb" -gt "$apply_kb" ] && apply_kb=$kb
      cmp -s "$out" "$n" || { echo "$tool: $f differs" >&2; exit 1; }
    done
    echo "$name,$tool,$size,$make_s,$apply_s,$make_kb,$apply_kb" >> "$csv"
  done
done

# The table, with every figure also as a ratio to the best peer of its pair.
load=$(cut -d' ' -f1-3 /proc/loadavg)
python3 - "$csv" "$results/results.md" "$cache" "$load" <<'PY'
import csv, sys, collections, datetime, os, subprocess
rows = list(csv.DictReader(open(sys.argv[1])))
peers = ("bsdiff", "xdelta3", "zstd")
by_pair = collections.OrderedDict()
for r in rows:
    by_pair.setdefault(r["pair"], []).append(r)
metrics = [("patch_bytes", "patch bytes", "{:,.0f}"), ("make_s", "make s", "{:.2f}"),
           ("apply_s", "apply s", "{:.2f}"), ("make_kb", "make MiB", "{:.1f}"),
           ("apply_kb", "apply MiB", "{:.1f}")]
def val(r, m):
    v = float(r[m])
    return v / 1024 if m.endswith("_kb") else v
def best_peer(rs, m):
    return min(val(r, m) for r in rs if r["tool"] in peers)
out = []
out.append("# selfpatch against bsdiff, xdelta3 and zstd\n")
out.append("Measured by `bench/compare.sh` in one run on %s, %s. "
           "Corpus: Debian packages fetched by `bench/fetch_corpus.sh` "
           "(cache `%s`). Peers: `bsdiff`, `xdelta3 -e -9 -S djw`, "
           "`zstd --patch-from -19 --long=27`, one patch per file, sizes and "
           "times summed per pair, memory the largest. selfpatch: one patch "
           "file (container without stub) per pair, made with `selfpatch make` "
           "(by default deflate with an optimal parse and adaptive blocks, or `--zopfli`) "
           "and applied with "
           "`selfpatch apply` (the whole transaction). Every applied result was "
           "compared byte for byte with the new version. "
           "In brackets: the ratio to the best peer for that pair and "
           "figure (below 1 is better). Load average at the end of the run: "
           "%s (times vary with what else the machine runs; sizes do not).\n" % (
               datetime.date.today().isoformat(),
               "%d processors" % os.cpu_count(), sys.argv[3].replace(os.path.expanduser("~"), "~"),
               sys.argv[4]))
subs = os.path.join(sys.argv[3], "SUBSTITUTIONS")
if os.path.exists(subs) and open(subs).read().strip():
    out.append("Versions substituted because the archive no longer serves them:\n\n" +
               "".join("- " + l for l in open(subs)) + "\n")
head = "| pair | tool | " + " | ".join(m[1] for m in metrics) + " |"
out.append(head)
out.append("|" + "---|" * (2 + len(metrics)))
totals = collections.OrderedDict()
for pair, rs in by_pair.items():
    for r in rs:
        cells = []
        for m, _, fmt in metrics:
            b = best_peer(rs, m)
            v = val(r, m)
            cells.append(fmt.format(v) + (" (%.2f)" % (v / b) if b else ""))
        out.append("| %s | %s | %s |" % (pair, r["tool"], " | ".join(cells)))
        t = totals.setdefault(r["tool"], [0.0] * len(metrics))
        for i, (m, _, _) in enumerate(metrics):
            t[i] = max(t[i], val(r, m)) if m.endswith("_kb") else t[i] + val(r, m)
out.append("")
out.append("Totals over the corpus (sizes and times summed, memory the largest):\n")
out.append(head)
out.append("|" + "---|" * (2 + len(metrics)))
for tool, t in totals.items():
    cells = []
    for i, (m, _, fmt) in enumerate(metrics):
        b = min(totals[p][i] for p in peers)
        cells.append(fmt.format(t[i]) + (" (%.2f)" % (t[i] / b) if b else ""))
    out.append("| all | %s | %s |" % (tool, " | ".join(cells)))
open(sys.argv[2], "w").write("\n".join(out) + "\n")
print("\n".join(out))
PY

# The chart: patch size per pair and tool.
python3 - "$csv" "$work/chart.dat" <<'PY'
import csv, sys, collections
rows = list(csv.DictReader(open(sys.argv[1])))
tools = list(collections.OrderedDict.fromkeys(r["tool"] for r in rows))
pairs = list(collections.OrderedDict.fromkeys(r["pair"] for r in rows))
with open(sys.argv[2], "w") as f:
    f.write("pair " + " ".join('"%s"' % t for t in tools) + "\n")
    for p in pairs:
        vals = {r["tool"]: int(r["patch_bytes"]) / 1024 for r in rows if r["pair"] == p}
        f.write('"%s" ' % p + " ".join("%.1f" % vals[t] for t in tools) + "\n")
PY
gnuplot <<GP
set terminal pngcairo size 1100,560 font "sans,10"
set output "$results/patch_sizes.png"
set title "Patch size per version pair (KiB, smaller is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key outside right top
set ylabel "KiB"
set grid ytics
set xtics noenhanced
set key noenhanced
plot for [c=2:6] "$work/chart.dat" using c:xtic(1) title columnheader(c)
GP
echo "wrote $results/results.md, results.csv, patch_sizes.png" >&2
