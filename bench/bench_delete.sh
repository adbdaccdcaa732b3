#!/usr/bin/env bash
# Times `qeltlog delete-node` and `delete-rows` on a large generated log against `cp` of it.
#
#   bench/bench_delete.sh [BUILD_DIR [SIZE [ROUNDS]]]      (defaults: build 1G 3)
#
# QELT_BENCH_LOG=FILE takes a copy of FILE (for instance a log genlog made before with seed 7)
# instead of making a new log of SIZE.
#
# Needs the targets qeltlog and genlog built in BUILD_DIR. Each round restores the log from a
# master copy, reads it once so the page cache is warm, then times, in the same round:
#   cp        cp of the log to a new file in the same folder (the goal: delete-node <= 3 x cp)
#   cp+sync   the same followed by sync of the copy, since delete-node flushes its new log to disk
#   user      delete-node LOG USER for the user with about a tenth of the lines
#   host      delete-node LOG USER HOST for that user's busiest host
#   rows      delete-rows LOG 1-N USER: every row of that user, as a selection of all its rows
#             (the goal: delete-node and delete-rows 1-N <= 3 x cp)
# and prints the CPU time (user + system) each deletion took, which says more than the wall time
# while other programs keep the machine busy, and the load average before and after.
# Work files go to a temporary folder under TMPDIR and are removed at the end.
set -euo pipefail

build=${1:-build}
size=${2:-1G}
rounds=${3:-3}
qeltlog=$build/bin/qeltlog
genlog=$build/bin/genlog
for program in "$qeltlog" "$genlog"; do
    [[ -x $program ]] || { echo "missing $program: build the targets qeltlog and genlog" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qelt-bench-delete.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Every deletion records its removed lines in the undo journal first: keep it with the work files.
export XDG_STATE_HOME=$work/state
master=$work/master.txt
log=$work/log1.txt

if [[ -n ${QELT_BENCH_LOG:-} ]]; then
    cp "$QELT_BENCH_LOG" "$master"
else
    "$genlog" "$master" "$size" 7 >/dev/null
fi
bytes=$(stat -c %s "$master")

# The user nearest a tenth of the lines and its busiest host, from a sample of the log:
# " - USER [" and the host of "GET http://HOST/" requests.
read -r user host < <(head -n 300000 "$master" | awk '
    { i = index($0, " - "); j = index($0, " [");
      if (i == 0 || j <= i + 3) next;
      u = substr($0, i + 3, j - i - 3); if (u ~ /[ \t]/) next;
      users[u]++;
      if (match($0, /"GET http:\/\/[^\/" ]+/)) hosts[u SUBSEP substr($0, RSTART + 12, RLENGTH - 12)]++ }
    END { best = ""; for (u in users) { d = users[u] - NR / 10; if (d < 0) d = -d;
                                        if (best == "" || d < bestd) { best = u; bestd = d } }
          h = ""; n = 0;
          for (k in hosts) { split(k, p, SUBSEP); if (p[1] == best && hosts[k] > n) { n = hosts[k]; h = p[2] } }
          print best, h }')
lines=$(wc -l <"$master")
rows=$("$qeltlog" --format tsv list "$master" "$user" | wc -l)
printf 'log: %s bytes, %s lines; user "%s" with %s rows; host "%s"\n' \
    "$bytes" "$lines" "$user" "$rows" "$host"

now() { date +%s.%N; }
# Runs a command and leaves its CPU seconds (user + system) in $cpu_s.
cpu_s=0
timed() {
    local file=$work/cpu.txt
    /usr/bin/time -f '%U %S' -o "$file" "$@"
    cpu_s=$(awk '{ printf "%.2f", $1 + $2 }' "$file")
}
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# Every step starts with no dirty pages left by the one before, so that no measurement pays for
# the writeback of another.
settle() { sync; }
# The first copy of a freshly written file runs several times slower than the next ones on some
# kernels; one untimed copy puts cp at its best before it is timed.
fresh() {
    rm -f "$log" "$work/copy.txt"
    cp "$master" "$log"
    cat "$log" >/dev/null
    settle
    cp "$log" "$work/copy.txt"
    settle
    rm -f "$work/copy.txt"
    settle
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %8s %8s %8s %8s %8s %8s %8s %8s %14s\n' round cp cp+sync user host rows user/cp host/cp \
    rows/cp 'cpu user/host/rows'

for ((round = 1; round <= rounds; ++round)); do
    fresh
    t0=$(now); cp "$log" "$work/copy.txt"; t1=$(now)
    cp_s=$(seconds "$t0" "$t1")
    settle; rm -f "$work/copy.txt"; settle
    t0=$(now); cp "$log" "$work/copy.txt"; sync "$work/copy.txt"; t1=$(now)
    cpsync_s=$(seconds "$t0" "$t1")
    rm -f "$work/copy.txt"; settle

    t0=$(now); timed "$qeltlog" --format tsv delete-node "$log" "$user"; t1=$(now)
    user_s=$(seconds "$t0" "$t1"); user_cpu=$cpu_s
    fresh
    t0=$(now); timed "$qeltlog" --format tsv delete-node "$log" "$user" "$host"; t1=$(now)
    host_s=$(seconds "$t0" "$t1"); host_cpu=$cpu_s
    fresh
    t0=$(now); timed "$qeltlog" --format tsv delete-rows "$log" "1-$rows" "$user"; t1=$(now)
    rows_s=$(seconds "$t0" "$t1"); rows_cpu=$cpu_s
    settle

    printf '%-6s %8s %8s %8s %8s %8s %8s %8s %8s %14s\n' "$round" "$cp_s" "$cpsync_s" "$user_s" \
        "$host_s" "$rows_s" \
        "$(awk -v a="$user_s" -v b="$cp_s" 'BEGIN { printf "%.2f", a / b }')" \
        "$(awk -v a="$host_s" -v b="$cp_s" 'BEGIN { printf "%.2f", a / b }')" \
        "$(awk -v a="$rows_s" -v b="$cp_s" 'BEGIN { printf "%.2f", a / b }')" \
        "$user_cpu/$host_cpu/$rows_cpu"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
