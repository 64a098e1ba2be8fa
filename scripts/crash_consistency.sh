#!/usr/bin/env bash
# Kills `selfpatch apply` with SIGKILL at random points of its commit pass,
# many times, and after each kill shows where every file stands:
#   - every old file is recoverable: in place, or in the backup folder;
#   - every new file is in place, or still in a staging folder;
#   - no file anywhere holds bytes that are neither its old nor its new
#     version.
# Each kill is then followed by applying the patch again, as a user would,
# and what that run does is recorded too. docs/crash-consistency.md
# describes the states and what they mean.
#
#   scripts/crash_consistency.sh [KILLS]      (default 200)
#
#   SELFPATCH   the tool to run (default build/host/selfpatch)
#   WORK        scratch folder (default build/crash-consistency)
#
# The last line is "N passed, N failed": one per kill, failed when a file
# cannot be recovered or holds foreign bytes.
set -uo pipefail
cd "$(dirname "$0")/.."
tool=${SELFPATCH:-build/host/selfpatch}
work=${WORK:-build/crash-consistency}
kills=${1:-200}

if [ ! -x "$tool" ]; then
  echo "$tool is missing: build it first (scripts/build.sh host)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi

exec python3 - "$tool" "$work" "$kills" <<'PY'
import collections, os, random, shutil, signal, subprocess, sys, time

tool, work, kills = os.path.abspath(sys.argv[1]), sys.argv[2], int(sys.argv[3])
rng = random.Random(20261211)
BACKUP = "BAK"

# --- The trees: an old version and a new one -----------------------------
def blob(seed, size):
    return random.Random(seed).randbytes(size)

def make_trees():
    old, new = {}, {}
    for i in range(600):            # patched: a few bytes changed
        name = "lib/mod%03d.dll" % i if i % 2 else "mod%03d.dll" % i
        data = blob(i, 1024 + 7 * i)
        old[name] = data
        changed = bytearray(data)
        for k in range(0, len(changed), 301):
            changed[k] ^= 0x5A
        new[name] = bytes(changed) + b"tail %d" % i
    for i in range(300):            # new files, some in new folders
        new["new/sub%d/file%03d.txt" % (i % 5, i)] = blob(10000 + i, 300)
    for i in range(300):            # removed files
        old["obsolete/old%03d.dat" % i] = blob(20000 + i, 400)
    for i in range(40):             # unchanged
        data = blob(3000 + i, 500)
        old["same/keep%03d.bin" % i] = data
        new["same/keep%03d.bin" % i] = data
    return old, new

def write_tree(root, files):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for name, data in files.items():
        p = os.path.join(root, name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)

def read_tree(root):
    out = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root)] = f.read()
    return out

old, new = make_trees()
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
write_tree(os.path.join(work, "old"), old)
write_tree(os.path.join(work, "new"), new)
patch = os.path.join(work, "patch.bin")
r = subprocess.run([tool, "make", "--old", os.path.join(work, "old"),
                    "--new", os.path.join(work, "new"), "-o", patch,
                    "--backup", BACKUP, "--quiet"],
                   capture_output=True)
if r.returncode != 0:
    sys.stderr.write(r.stderr.decode(errors="replace"))
    print("0 passed, 1 failed")
    sys.exit(1)

target = os.path.join(work, "target")

def apply(delay=None):
    """Runs apply. With a delay, SIGKILLs it that many seconds after the
    commit pass began (the backup folder appears with the commit pass's
    first move). Returns (exit code, or None when killed; seconds from the
    commit pass's start to the exit, or None)."""
    bak = os.path.join(target, BACKUP)
    p = subprocess.Popen([tool, "apply", patch, target],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = None
    while p.poll() is None:
        if os.path.isdir(bak):
            started = time.monotonic()
            break
    if started is not None and delay is not None:
        time.sleep(delay)
        p.send_signal(signal.SIGKILL)
    rc = p.wait()
    took = None if started is None else time.monotonic() - started
    return (None if rc == -signal.SIGKILL else rc), took

# Calibration: how long the commit pass (and the cleanup after it) takes.
write_tree(target, old)
rc, window = apply()
expected = dict(new)
expected.update({os.path.join(BACKUP, k): v for k, v in old.items()
                 if k not in new or new[k] != v})
if rc != 0 or window is None or read_tree(target) != expected:
    print("the patch does not apply cleanly (exit %s)" % rc, file=sys.stderr)
    print("0 passed, 1 failed")
    sys.exit(1)
commit_window = max(window, 0.002)
print("calibration: commit pass and cleanup take %.1f ms" % (commit_window * 1000))

STAGING = lambda rel: rel.split(os.sep)[0].startswith("PATCH") and rel.split(os.sep)[0].endswith(".TMP")

def classify(tree):
    """Per-file states and problems after a kill."""
    states = collections.Counter()
    problems = []
    staged = {}
    for rel, data in tree.items():
        if STAGING(rel):
            staged[rel.split(os.sep, 1)[1] if os.sep in rel else rel] = data
    for name in sorted(set(old) | set(new)):
        o, n = old.get(name), new.get(name)
        here = tree.get(name)
        bak = tree.get(os.path.join(BACKUP, name))
        stg = staged.get(name)
        if o is not None and n is not None and o == n:
            if here != o:
                problems.append("unchanged file %s altered" % name)
            states["unchanged: in place"] += 1
            continue
        if here is not None and here not in (o, n):
            problems.append("%s holds foreign bytes" % name)
        if o is not None and here != o and bak != o:
            problems.append("old %s lost" % name)
        if n is not None and here != n and stg != n:
            problems.append("new %s neither in place nor staged" % name)
        kind = "patched" if o is not None and n is not None else (
               "new" if n is not None else "removed")
        where = []
        where.append("target=" + ("old" if here == o and o is not None else
                                  "new" if here == n and n is not None else
                                  "none" if here is None else "other"))
        if bak is not None:
            where.append("backup=" + ("old" if bak == o else "other"))
        if stg is not None:
            where.append("staged=" + ("new" if stg == n else "other"))
        states["%s: %s" % (kind, ", ".join(where))] += 1
    return states, problems

passed = failed = 0
all_states = collections.Counter()
rerun_results = collections.Counter()
finished = 0
for k in range(kills):
    write_tree(target, old)
    delay = rng.uniform(0, commit_window)
    rc, _ = apply(delay)
    tree = read_tree(target)
    states, problems = classify(tree)
    # Which states occurred together: the mixed ones are what a kill leaves.
    if rc is not None:
        finished += 1
    for s in states:
        all_states[s] += 1
    if problems:
        failed += 1
        print("kill %d (%.1f ms into the commit pass, exit %s): %s"
              % (k, delay * 1000, rc, "; ".join(problems[:5])))
    else:
        passed += 1
    # The user starts the patch again.
    rc2, _ = apply()
    tree2 = {k2: v for k2, v in read_tree(target).items() if not STAGING(k2)}
    complete = all(tree2.get(n) == d for n, d in new.items())
    lost = [n for n, d in old.items() if d not in tree2.values()]
    rerun_results["exit %s, %s%s" % (rc2, "complete" if complete else "incomplete",
                                     ", old bytes lost" if lost else "")] += 1

print()
print("%d of %d runs ended before the kill" % (finished, kills))
print("file states after the kills (number of kills in which each occurred):")
for s, c in sorted(all_states.items()):
    print("  %-60s %d" % (s, c))
print("applying again after a kill:")
for s, c in sorted(rerun_results.items()):
    print("  %-60s %d" % (s, c))
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
PY
