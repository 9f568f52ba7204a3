#!/usr/bin/env bash
# Runs the Linux test legs (plain, ASan+UBSan, TSan) round after round, with
# twice as many tests at once as there are cores, while busy processes keep
# every core loaded; then lists each test that failed at least once.
#
#   scripts/stress.sh [--plain N] [--asan N] [--tsan N] [--sanitizers N] [--hogs N]
#
# --sanitizers sets the rounds of both sanitizer legs; --hogs the number of
# busy processes (default: one per core). The output of every round is kept
# in build/stress/LEG-ROUND.log. Exit status 1 when any test failed.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rounds=([linux]=3 [asan-ubsan]=2 [tsan]=2)
hogs=$(nproc)
while (($#)); do
  case $1 in
    --plain) rounds[linux]=$2 ;;
    --asan) rounds[asan-ubsan]=$2 ;;
    --tsan) rounds[tsan]=$2 ;;
    --sanitizers) rounds[asan-ubsan]=$2 rounds[tsan]=$2 ;;
    --hogs) hogs=$2 ;;
    *) sed -n 's/^#   //p' "$0" >&2; exit 2 ;;
  esac
  shift 2
done

bash scripts/setup.sh
jobs=$(nproc)
legs=(linux asan-ubsan tsan)
# The cmake options and environment of scripts/test.sh, leg by leg.
declare -A options=(
  [linux]="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALAVER_BUILD_BENCH=ON"
  [asan-ubsan]="-DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=address,undefined -DPALAVER_BUILD_BENCH=OFF"
  [tsan]="-DCMAKE_BUILD_TYPE=Debug -DPALAVER_SANITIZE=thread -DPALAVER_BUILD_BENCH=OFF"
)
declare -A environment=(
  [linux]=""
  [asan-ubsan]="ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp"
  [tsan]="TSAN_OPTIONS=halt_on_error=1 suppressions=$PWD/tests/tsan.supp"
)

for leg in "${legs[@]}"; do
  ((rounds[$leg] > 0)) || continue
  echo "== build $leg"
  # shellcheck disable=SC2086  # the options are words
  cmake -S . -B "build/$leg" -G Ninja ${options[$leg]} >/dev/null
  cmake --build "build/$leg" -j "$jobs"
done

# The load: busy loops, ended by their own pids whichever way the script ends.
hog_pids=()
trap '((${#hog_pids[@]} == 0)) || kill "${hog_pids[@]}" 2>/dev/null || true' EXIT
for ((i = 0; i < hogs; i++)); do
  (while :; do :; done) &
  hog_pids+=($!)
done
echo "== $hogs busy processes: ${hog_pids[*]}"

mkdir -p build/stress
declare -A failed=() seconds=()  # failed["leg test"]: rounds it failed in
start=$SECONDS
for leg in "${legs[@]}"; do
  leg_start=$SECONDS
  for ((r = 1; r <= rounds[$leg]; r++)); do
    log=build/stress/$leg-$r.log
    status=0
    env ${environment[$leg]:+"${environment[$leg]}"} ctest --test-dir "build/$leg" --output-on-failure \
      -j $((2 * jobs)) --timeout 300 >"$log" 2>&1 || status=$?
    # CTest ends with "The following tests FAILED:" and "  12 - Name (Failed)".
    names=$(awk '/^The following tests FAILED:/ { f = 1; next }
                 f && sub(/^[ \t]+[0-9]+ - /, "") { sub(/ \([^)]*\)$/, ""); print }' "$log")
    if ((status != 0)) && [ -z "$names" ]; then names="(ctest exited with $status)"; fi
    while read -r name; do
      if [ -n "$name" ]; then failed["$leg $name"]=$((${failed["$leg $name"]:-0} + 1)); fi
    done <<<"$names"
    echo "== $leg round $r/${rounds[$leg]}: $(grep -m1 'tests passed' "$log" || echo "exit status $status") [$log]"
  done
  seconds[$leg]=$((SECONDS - leg_start))
done

echo
echo "== rounds (wall time): $(for leg in "${legs[@]}"; do
  printf '%s %d (%ds)  ' "$leg" "${rounds[$leg]}" "${seconds[$leg]:-0}"; done)"
minutes() { echo "$(($1 / 60)) min $(($1 % 60)) s"; }
echo "== wall time: $(minutes $((SECONDS - start))) for the rounds under $hogs busy processes," \
  "$(minutes $SECONDS) with the builds"
if ((${#failed[@]} == 0)); then
  echo "== no test failed"
  exit 0
fi
echo "== failed at least once (rounds failed/run, per leg):"
for key in "${!failed[@]}"; do echo "${key#* }"; done | sort -u | while read -r name; do
  line="  $name:"
  for leg in "${legs[@]}"; do
    if ((rounds[$leg] > 0)); then line+="  $leg ${failed["$leg $name"]:-0}/${rounds[$leg]}"; fi
  done
  echo "$line"
done
exit 1
