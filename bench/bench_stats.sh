#!/usr/bin/env bash
# The counting and export commands against grep, on a generated 1 GB log with the page cache warm:
#   - qeltlog --format tsv stats LOG              vs  grep -c -F ' - ' LOG   (goal: at most 1.5x)
#   - qeltlog export --format ndjson LOG > FILE   vs  grep -c -F ' - ' LOG   (goal: at most 3x)
# Each figure is the best of RUNS runs, taken in the same run of this script as its baseline;
# the CPU seconds (user + system) are shown beside the wall time, since the counting uses every
# core and grep one.
#
#   bench/bench_stats.sh [BUILD_DIR]     (default: build; needs bin/qeltlog and bin/genlog)
# Environment: BENCH_DIR (default /tmp/qelt-bench), SIZE (default 1G), RUNS (default 3),
# KEEP=1 keeps the generated log and the outputs (they are removed otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
qeltlog=$build/bin/qeltlog
genlog=$build/bin/genlog
dir=${BENCH_DIR:-/tmp/qelt-bench}
size=${SIZE:-1G}
runs=${RUNS:-3}
mkdir -p "$dir"

for tool in "$qeltlog" "$genlog"; do
    [ -x "$tool" ] || { echo "missing $tool: build the targets qeltlog and genlog" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

log=$dir/realistic.txt
[ -s "$log" ] || "$genlog" "$log" "$size" 42 400 5000 >&2
cleanup() {
    rm -f "$dir/output" "$dir/stats.ndjson"
    [ "${KEEP:-0}" = 1 ] || rm -f "$log"
}
trap cleanup EXIT
cat "$log" > /dev/null # warm the page cache

# best wall seconds, its CPU seconds and the peak RSS in KB over $runs runs: "wall cpu kb".
# The output goes to a file: grep stops at the first match when its output is /dev/null.
measure() {
    local best="" cpu="" rss=0 line
    for _ in $(seq "$runs"); do
        line=$(/usr/bin/time -f "%e %U %S %M" "$@" 2>&1 > "$dir/output" | tail -1)
        read -r s u y k <<< "$line"
        if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN{exit !(a<b)}'; then
            best=$s
            cpu=$(awk -v a="$u" -v b="$y" 'BEGIN{printf "%.2f", a + b}')
        fi
        [ "$k" -gt "$rss" ] && rss=$k
    done
    echo "$best $cpu $rss"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

bytes=$(stat -c %s "$log")
echo "log: $log, $bytes bytes, $(nproc) cores, best of $runs runs, page cache warm"
read -r grep_s grep_cpu _ < <(measure grep -c -F ' - ' "$log")
read -r stats_s stats_cpu stats_kb < <(measure "$qeltlog" --format tsv stats "$log")
echo "stats:  qeltlog ${stats_s}s (cpu ${stats_cpu}s, ${stats_kb} KB)  grep -c -F ' - ' ${grep_s}s" \
     "(cpu ${grep_cpu}s)  ratio $(ratio "$stats_s" "$grep_s") (goal <= 1.5)"
read -r json_s json_cpu json_kb < <(measure "$qeltlog" export --format ndjson "$log")
lines=$(wc -l < "$dir/output")
echo "ndjson: qeltlog ${json_s}s (cpu ${json_cpu}s, ${json_kb} KB, $lines objects," \
     "$(stat -c %s "$dir/output") bytes)  ratio $(ratio "$json_s" "$grep_s") (goal <= 3)"
