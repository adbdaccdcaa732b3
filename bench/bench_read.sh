#!/usr/bin/env bash
# The reading side against its baselines, on generated 1 GB logs with the page cache warm:
#   - qeltlog --format tsv tree LOG        vs  grep -c -F ' - ' LOG      (goal: at most 2x)
#   - qeltlog --format tsv list LOG USER   vs  grep -c -F USER LOG       (goal: at most 1x)
#     for the busiest user, who has about a tenth of the lines
#   - tree on 1,000,000 distinct hosts     vs  tree on 1,000             (goal: at most 1.5x)
#   - peak resident memory of tree and list (goal: under the file's size plus 64 MB)
# Each figure is the best of RUNS runs, taken in the same run of this script as its baseline.
#
#   bench/bench_read.sh [BUILD_DIR]     (default: build; needs bin/qeltlog and bin/genlog)
# Environment: BENCH_DIR (default /tmp/qelt-bench), SIZE (default 1G), RUNS (default 3).
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

generate() { # name seed users hosts
    local file=$dir/$1.txt
    [ -s "$file" ] || "$genlog" "$file" "$size" "$2" "$3" "$4" >&2
    cat "$file" > /dev/null # warm the page cache
    echo "$file"
}

# best SECONDS and the peak RSS in KB of a command over $runs runs: "seconds kb". The output goes
# to a file: grep stops at the first match when its output is /dev/null.
measure() {
    local best="" rss=0 line
    for _ in $(seq "$runs"); do
        line=$(/usr/bin/time -f "%e %M" "$@" 2>&1 > "$dir/output" | tail -1)
        local s=${line% *} k=${line#* }
        if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$s; fi
        [ "$k" -gt "$rss" ] && rss=$k
    done
    echo "$best $rss"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

log=$(generate realistic 42 400 5000)
bytes=$(stat -c %s "$log")
echo "log: $log, $bytes bytes, $(nproc) cores, best of $runs runs, page cache warm"

read -r grep_s _ < <(measure grep -c -F ' - ' "$log")
read -r tree_s tree_kb < <(measure "$qeltlog" --format tsv tree "$log")
echo "tree:  qeltlog ${tree_s}s  grep -c -F ' - ' ${grep_s}s  ratio $(ratio "$tree_s" "$grep_s") (goal <= 2)"

# The user whose share of the first 20 MB is nearest a tenth of the lines (Zipf-like activity).
user=$(head -c 20000000 "$log" | awk '{print $3}' | sort | uniq -c |
       awk '{ n[$2] = $1; total += $1 } END { for (u in n) { d = n[u] - total / 10; if (d < 0) d = -d;
             if (best == "" || d < bestd) { best = u; bestd = d } } print best }')
lines=$(grep -c -F ' - ' "$log")
mine=$(grep -c -F "$user" "$log")
read -r grepu_s _ < <(measure grep -c -F "$user" "$log")
read -r list_s list_kb < <(measure "$qeltlog" --format tsv list "$log" "$user")
echo "list:  user $user on $mine of $lines lines: qeltlog ${list_s}s  grep -c -F USER ${grepu_s}s" \
     " ratio $(ratio "$list_s" "$grepu_s") (goal <= 1)"

limit_kb=$(( bytes / 1024 + 64 * 1024 ))
echo "rss:   tree ${tree_kb} KB, list ${list_kb} KB, limit (size + 64 MB) ${limit_kb} KB"

few=$(generate hosts1k 7 400 1000)
many=$(generate hosts1m 7 400 1000000)
read -r few_s _ < <(measure "$qeltlog" --format tsv tree "$few")
read -r many_s many_kb < <(measure "$qeltlog" --format tsv tree "$many")
few_n=$("$qeltlog" --format tsv tree "$few" | grep -c '^H' || true)
many_n=$("$qeltlog" --format tsv tree "$many" | grep -c '^H' || true)
echo "hosts: 1,000 hosts ($few_n host nodes) ${few_s}s, 1,000,000 hosts ($many_n host nodes)" \
     "${many_s}s (${many_kb} KB)  ratio $(ratio "$many_s" "$few_s") (goal <= 1.5)"
