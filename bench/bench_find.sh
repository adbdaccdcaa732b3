#!/usr/bin/env bash
# Find in the log and the filter bar against their goals, page cache warm:
#   - qeltlog --format tsv find LOG TEXT  vs  grep -c -i -F TEXT LOG   on a generated 1 GB log,
#     for a text in a few lines of many hosts, one in many lines of few hosts, one found nowhere
#     (goal: at most 1x); bench_find splits find into its search and its tree order; then for a
#     text in a third of the lines and one in every line, where find does the whole tree's work
#     (which alone takes about grep's time) and more
#   - a change of the filter bar shown on a listing of 1,000,000 rows (goal: within 100 ms)
# Each figure is the best of RUNS runs, taken in the same run of this script as its baseline.
#
#   bench/bench_find.sh [BUILD_DIR]     (default: build; needs bin/qeltlog, bin/genlog,
#                                        bin/bench_find and bin/bench_gui_filter)
# Environment: BENCH_DIR (default /tmp/qelt-bench), SIZE (default 1G), RUNS (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin
dir=${BENCH_DIR:-/tmp/qelt-bench}
size=${SIZE:-1G}
runs=${RUNS:-3}
mkdir -p "$dir"
for tool in qeltlog genlog bench_find bench_gui_filter; do
    [ -x "$bin/$tool" ] || { echo "missing $bin/$tool: build it first" >&2; exit 1; }
done

log=$dir/realistic.txt
[ -s "$log" ] || "$bin/genlog" "$log" "$size" 42 400 5000 >&2
cat "$log" > /dev/null

# best seconds of a command over $runs runs; the output goes to a file, since grep stops at the
# first match when its output is /dev/null.
measure() {
    local best=""
    for _ in $(seq "$runs"); do
        local s
        s=$( { /usr/bin/time -f "%e" "$@" > "$dir/output" || true; } 2>&1 | tail -1)
        if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$s; fi
    done
    echo "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo "log: $log, $(stat -c %s "$log") bytes, $(nproc) cores, best of $runs runs"
for text in report.PDF cloud8.org zzqqxx; do
    grep_s=$(measure grep -c -i -F "$text" "$log")
    find_s=$(measure "$bin/qeltlog" --format tsv find "$log" "$text")
    nodes=$(wc -l < "$dir/output")
    echo "find $text: qeltlog ${find_s}s ($nodes nodes)  grep -c -i -F ${grep_s}s" \
         " ratio $(ratio "$find_s" "$grep_s") (goal <= 1)"
    "$bin/bench_find" "$log" "$text" "$runs"
done
for text in www http; do
    grep_s=$(measure grep -c -i -F "$text" "$log")
    find_s=$(measure "$bin/qeltlog" --format tsv find "$log" "$text")
    nodes=$(wc -l < "$dir/output")
    echo "find $text: qeltlog ${find_s}s ($nodes nodes)  grep -c -i -F ${grep_s}s" \
         " ratio $(ratio "$find_s" "$grep_s")"
done
QT_QPA_PLATFORM=offscreen "$bin/bench_gui_filter" 1000000 2>/dev/null
