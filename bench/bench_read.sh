#!/usr/bin/env bash
# The reading side against its baselines, on generated 1 GB logs with the page cache warm:
#   - qeltlog --format tsv tree LOG        vs  grep -c -F ' - ' LOG      (goal: at most 1.5x)
#     on a log with several hundred thousand distinct user-host pairs
#   - qeltlog --format tsv list LOG USER   vs  grep -c -F USER LOG       (goal: at most 1x)
#     for the user with about a tenth of the lines
#   - tree on 1,000,000 distinct hosts     vs  tree on 1,000             (goal: at most 1.5x)
#   - peak resident memory of tree (goal: the file's size plus 32 MB plus 64 bytes per node),
#     also on a log of 1,000,000 distinct users, and of list
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

# The goal of peak memory for a tree of N nodes on a log of BYTES bytes, in KB.
tree_limit_kb() { echo $(( $1 / 1024 + 32 * 1024 + $2 * 64 / 1024 )); }
nodes_of() { "$qeltlog" --format tsv tree "$1" | wc -l; }

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

echo "rss:   list ${list_kb} KB, limit (size + 64 MB) $(( bytes / 1024 + 64 * 1024 )) KB"

# tree on this log too: its user-host pairs are several hundred thousand, as the goal's log's.
read -r grepr_s _ < <(measure grep -c -F ' - ' "$log")
read -r treer_s _ < <(measure "$qeltlog" --format tsv tree "$log")
echo "tree:  $(nodes_of "$log") nodes: qeltlog ${treer_s}s  grep -c -F ' - ' ${grepr_s}s" \
     " ratio $(ratio "$treer_s" "$grepr_s") (goal <= 1.5)"

# Several hundred thousand user-host pairs: the long tail of a million hosts.
few=$(generate hosts1k 7 400 1000)
many=$(generate hosts1m 7 400 1000000)
many_bytes=$(stat -c %s "$many")
many_n=$(nodes_of "$many")
read -r grep_s _ < <(measure grep -c -F ' - ' "$many")
read -r tree_s tree_kb < <(measure "$qeltlog" --format tsv tree "$many")
echo "tree:  $many_n nodes: qeltlog ${tree_s}s  grep -c -F ' - ' ${grep_s}s" \
     " ratio $(ratio "$tree_s" "$grep_s") (no goal: the goal's log is the first)"
echo "rss:   tree ${tree_kb} KB, limit (size + 32 MB + 64 B a node) $(tree_limit_kb "$many_bytes" "$many_n") KB"
read -r few_s _ < <(measure "$qeltlog" --format tsv tree "$few")
echo "hosts: 1,000 hosts ($(nodes_of "$few") nodes) ${few_s}s, 1,000,000 hosts ${tree_s}s" \
     " ratio $(ratio "$tree_s" "$few_s") (goal <= 1.5)"

# A million distinct users, each with a line of its own first.
users=$dir/users1m.txt
[ -s "$users" ] || "$genlog" "$users" 1000000L 7 1000000 5000 all >&2
users_n=$(nodes_of "$users")
read -r users_s users_kb < <(measure "$qeltlog" --format tsv tree "$users")
echo "users: $users_n nodes on $(stat -c %s "$users") bytes: tree ${users_s}s ${users_kb} KB," \
     "limit $(tree_limit_kb "$(stat -c %s "$users")" "$users_n") KB"
