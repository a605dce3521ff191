#!/usr/bin/env bash
# Measures kelvane against GNU rm on freshly built archives; never part of
# ./test.sh. For each workload: the median wall time of RUNS runs with
# hyperfine, whose --prepare rebuilds the tree before every run; system
# calls with strace -c -f; peak resident memory with /usr/bin/time -v.
# Prints one Markdown table; a run of every workload also keeps it, with
# the machine it came from, in docs/performance.md.
#
#   bench/run.sh [WORKLOAD...]     workloads W1 W2 W3 W4 W5 W6 W6-40k W7
#                                  W7-50 W8, and threads (W1 on one processor
#                                  and all, with and without a load); all
#                                  by default
#   RUNS=5                         hyperfine runs per command
#   BENCH_DIR=/dev/shm/kelvane-bench   where the trees are built (tmpfs by
#                                  default where there is one; point it at
#                                  a disk to include the disk's own costs)
#   PIN=0                          runs both commands of every workload on
#                                  these processors only (taskset -c), as a
#                                  machine with that many would
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
default_dir=$root/build-bench/trees
[ -d /dev/shm ] && default_dir=/dev/shm/kelvane-bench
work=${BENCH_DIR:-$default_dir}
workloads=("$@")
[ ${#workloads[@]} -gt 0 ] || workloads=(W1 W2 W3 W4 W5 W6 W6-40k W7 W7-50 W8)

"$root/scripts/install-deps.sh" cmake make g++ hyperfine strace time python3 util-linux >&2
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DKELVANE_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j "$(nproc)" >/dev/null
kelvane=$root/build-bench/kelvane
make_tree="python3 $root/bench/make_tree.py"
mkdir -p "$work"
scratch=$(mktemp -d)
loops=()  # busy loops of a loaded benchmark
trap '[ ${#loops[@]} -eq 0 ] || kill "${loops[@]}"; rm -rf "$scratch" "$work"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# The two commands of a workload, and the limit they run under.
commands() {
  local w=$1 dir=$2 targets pin=${PIN:-}
  targets=$(sed "s|^|$dir/archive/|" "$dir/expired" | tr '\n' ' ')
  kel="$kelvane $dir/archive 30"
  rm="rm -rf $targets"
  limit=""
  ignore=""
  case $w in
    W2 | W8) rm="xargs -a $dir/expired -d '\\n' rm -f --" ;;
    W3) limit="ulimit -n 16;" ;;
    W6* | W7*)
      # Both run as nobody and report every file that stays; W7 on one
      # processor, so that one walk meets every deep subdirectory itself.
      local as="setpriv --reuid=65534 --regid=65534 --clear-groups"
      [[ $w != W7* ]] || pin=${pin:-0}
      kel="$as $kel"
      rm="$as $rm"
      ignore=--ignore-failure
      ;;
  esac
  [ -z "$pin" ] || kel="taskset -c $pin $kel" rm="taskset -c $pin $rm"
}

# Runs a command on a fresh tree under a measuring tool, which itself runs
# it directly: the counts and the memory are the command's own.
measured() {
  local w=$1 dir=$2 tool=$3 command=$4
  $make_tree "$w" "$dir"
  (cd "$dir/archive" && bash -c "$limit exec $tool $command" >/dev/null 2>&1) || [ -n "$ignore" ]
}

calls_per_entry() {
  local w=$1 dir=$2 command=$3 count
  measured "$w" "$dir" "strace -c -f -o $scratch/strace" "$command"
  count=$(cat "$dir/count")
  awk -v n="$count" '$NF == "total" { printf "%.3f (%d)", $4 / n, $4 }' "$scratch/strace"
}

# The directory reads of the command that calls_per_entry measured last.
directory_reads() {
  awk '$NF == "getdents64" { print $4 }' "$scratch/strace"
}

peak_memory() {
  local w=$1 dir=$2 command=$3
  measured "$w" "$dir" "/usr/bin/time -v -o $scratch/time" "$command"
  awk -F': ' '/Maximum resident set size/ { printf "%.1f MiB", $2 / 1024 }' "$scratch/time"
}

# Every expired entry must be gone after kelvane's run, but where the
# workload is made of entries that stay.
check_removed() {
  local w=$1 dir=$2 name
  [[ $w != W6* && $w != W7* ]] || return 0
  while read -r name; do
    [ ! -e "$dir/archive/$name" ] || { echo "kelvane left $name" >&2; exit 1; }
  done <"$dir/expired"
}

goal() {
  case $1 in
    W1) echo "ratio <= 0.65, <= 1.05 calls/entry" ;;
    W2) echo "ratio <= 0.91; report lines: 1 write each" ;;
    W3) echo "removed, ulimit -n 16, ratio <= 0.70, <= 8 MiB" ;;
    W4) echo "ratio <= 1.00, <= 16 MiB" ;;
    W5) echo "ratio <= 0.60" ;;
    W6) echo "entries that stay: within 5x the time of W6-40k" ;;
    W6-40k) echo "the same with 40,000" ;;
    W7) echo "entries that stay beside deep subdirectories: no more getdents64 than rm" ;;
    W7-50) echo "the same with 50 subdirectories" ;;
    W8) echo "memory: the expired names and little more" ;;
  esac
}

reads="| Workload | kelvane getdents64 | rm getdents64 |
|---|---|---|"
table="| Workload | Removed entries | kelvane median | rm median | Ratio | kelvane calls/entry (total) | rm calls/entry (total) | kelvane peak RSS | rm peak RSS | Goal |
|---|---|---|---|---|---|---|---|---|---|"
for w in "${workloads[@]}"; do
  [ "$w" != threads ] || continue
  dir=$work/$w
  echo "== $w" >&2
  $make_tree "$w" "$dir"
  commands "$w" "$dir"
  hyperfine $ignore --runs "$runs" --prepare "$make_tree $w $dir" --export-json "$scratch/$w.json" \
    --command-name kelvane "cd $dir/archive && $limit $kel" --command-name rm "cd $dir/archive && $limit $rm" >&2
  read -r kel_median rm_median < <(python3 -c '
import json, sys
results = json.load(open(sys.argv[1]))["results"]
print(*(r["median"] for r in results))' "$scratch/$w.json")
  kel_calls=$(calls_per_entry "$w" "$dir" "$kel")
  kel_reads=$(directory_reads)
  rm_calls=$(calls_per_entry "$w" "$dir" "$rm")
  [[ $w != W7* ]] || reads+=$'\n'"| $w | $kel_reads | $(directory_reads) |"
  kel_rss=$(peak_memory "$w" "$dir" "$kel")
  check_removed "$w" "$dir"
  rm_rss=$(peak_memory "$w" "$dir" "$rm")
  row=$(awk -v w="$w" -v n="$(cat "$dir/count")" -v k="$kel_median" -v r="$rm_median" \
    'BEGIN { printf "| %s | %d | %.3f s | %.3f s | %.2f |", w, n, k, r, k / r }')
  table+=$'\n'"$row $kel_calls | $rm_calls | $kel_rss | $rm_rss | $(goal "$w") |"
done

# W1 on one processor and on all, quiet and beside a busy loop on every
# core, against one rm and against two at once on the two halves of the
# expired entries (what two cores can reach): wall time and CPU time.
threads_table() {
  local dir=$work/W1 load="" half
  $make_tree W1 "$dir"
  commands W1 "$dir"
  half=$(($(wc -l <"$dir/expired") / 2))
  local first second
  first=$(head -n "$half" "$dir/expired" | sed "s|^|$dir/archive/|" | tr '\n' ' ')
  second=$(tail -n +"$((half + 1))" "$dir/expired" | sed "s|^|$dir/archive/|" | tr '\n' ' ')
  threads="| Load | Command | Wall median | Ratio to rm | CPU (user + system) |
|---|---|---|---|---|"
  for load in quiet busy; do
    echo "== W1 threads, $load" >&2
    loops=()
    if [ $load = busy ]; then
      for _ in $(seq "$(nproc)"); do
        bash -c 'while :; do :; done' &
        loops+=($!)
      done
    fi
    hyperfine --runs "$runs" --prepare "$make_tree W1 $dir" --export-json "$scratch/threads.json" \
      --command-name "rm" "cd $dir/archive && $rm" \
      --command-name "two rm on halves" "cd $dir/archive && (rm -rf $first & rm -rf $second; wait)" \
      --command-name "kelvane, one processor" "cd $dir/archive && taskset -c 0 $kel" \
      --command-name "kelvane, all processors" "cd $dir/archive && $kel" >&2
    [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}"
    loops=()
    threads+=$'\n'$(python3 - "$scratch/threads.json" "$load" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
rm = results[0]["median"]
for r in results:
    wall, cpu = r["median"], r["user"] + r["system"]
    print(f"| {sys.argv[2]} | {r['command']} | {wall:.3f} s | {wall / rm:.2f} | {cpu:.3f} s |")
EOF
)
  done
}
threads=""
if [ $# -eq 0 ] || [[ " $* " == *" threads "* ]]; then
  threads_table
fi

machine="$(uname -srm); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; \
$(free -g | awk '/Mem:/ { print $2 }') GiB; trees on $(df --output=fstype "$work" | tail -1); $(rm --version | head -1); \
hyperfine runs per command: $runs;${PIN:+ both commands on processor(s) $PIN;} load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$table"
echo
echo "$reads"
echo
echo "Machine: $machine"
echo
echo "$threads"
[ $# -eq 0 ] || exit 0
{
  echo "# Performance"
  echo
  echo "Latest figures of \`bench/run.sh\` (kelvane $(git -C "$root" rev-parse --short HEAD)), against GNU rm"
  echo "in the same run on the same freshly built trees. Ratio is kelvane's median wall time over rm's;"
  echo "calls per entry count every system call of the process (start-up included) per removed entry."
  echo "W1: 10 expired directories of 100 directories of 100 empty files, beside young and undated"
  echo "entries, against \`rm -rf\` of the 10. W2: 50,000 dated files, half expired, against \`rm -f\` of"
  echo "those by \`xargs\`. W3: one expired chain of 100,000 directories under \`ulimit -n 16\`."
  echo "W4: one expired directory of 200,000 files. W5: as W1 with 1,000 files in each directory, a"
  echo "million in all. W6 (W6-40k): one expired directory holding a"
  echo "directory of 200,000 (40,000) files that stay, run as nobody, who may not remove them; the"
  echo "entries column counts the files that stay, each reported on standard error. W7 (W7-50): one"
  echo "expired directory holding 10,000 files that stay beside 400 (50) chains of five directories that"
  echo "go, run as nobody on one processor; the entries column counts both. W8: a million expired"
  echo "dated files at the top level, against \`rm -f\` of those by \`xargs\`."
  echo
  echo "$table"
  echo
  echo "Directory reads of W7:"
  echo
  echo "$reads"
  echo
  echo "Machine: $machine"
  echo
  echo "## W1 on one processor and on all"
  echo
  echo "The removal uses as many threads as the processors it may run on (\`taskset\` here), up to 8."
  echo "Busy: a busy loop on every core throughout. Two rm on halves: the 2-core limit."
  echo
  echo "$threads"
} >"$root/docs/performance.md"
