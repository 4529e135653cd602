#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (preset "fuzz": clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a while,
# from its starting inputs in fuzz/corpus/<target>/ and what earlier runs found in
# build-fuzz/corpus/<target>/ (where new finds go).
#
#   scripts/fuzz.sh [seconds] [target...]
#
#   seconds       time per target, default 60
#   target        names of fuzz/<target>.cpp; default all of them
#   VT_FUZZ_JOBS  how many targets run at once (default 1; one per core)
#
# Prints, per target, the executions, executions per second, the coverage
# libFuzzer reports (cov: edges, ft: features) and the corpus size. A crash,
# a sanitizer report or a broken property saves the input that caused it in
# build-fuzz/artifacts/ and makes the script exit non-zero. Reproduce with
# build-fuzz/bin/fuzz_<target> <file>; once fixed, keep the file as a starting input in
# fuzz/corpus/<target>/.
set -uo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/lib/install.sh
source scripts/lib/install.sh
vt_install_packages cmake ninja-build clang libclang-rt-14-dev pkg-config libsodium-dev libarchive-dev libssl-dev

seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
jobs=${VT_FUZZ_JOBS:-1}

echo "=== fuzz: configure and build"
if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz; then
  echo "fuzz: BUILD FAILED"
  exit 1
fi

mkdir -p build-fuzz/artifacts build-fuzz/logs
run_target() {
  local target=$1 program="build-fuzz/bin/fuzz_$1" dict=() options=()
  [ -x "$program" ] || { echo "no such fuzz target: $target" >"build-fuzz/logs/$target.log"; return 2; }
  mkdir -p "build-fuzz/corpus/$target"
  [ -f "fuzz/dict/$target.dict" ] && dict=("-dict=fuzz/dict/$target.dict")
  # A single input that takes seconds is a hang worth a report; inputs may
  # grow past the 4096-byte lines some parsers cut at.
  options=(-max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1
           -artifact_prefix="build-fuzz/artifacts/$target-")
  "$program" "${options[@]}" "${dict[@]}" "build-fuzz/corpus/$target" "fuzz/corpus/$target" \
    >"build-fuzz/logs/$target.log" 2>&1
}

echo "=== fuzz: ${#targets[@]} target(s), ${seconds} s each, $jobs at a time"
declare -A pids
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  run_target "$target" &
  pids[$target]=$!
done

status=0
printf '%-14s %12s %9s %7s %8s %16s  %s\n' target runs exec/s cov ft corpus result
for target in "${targets[@]}"; do
  wait "${pids[$target]}"
  rc=$?
  log="build-fuzz/logs/$target.log"
  # The last status line: "#N DONE cov: C ft: F corp: U/S ...".
  line=$(grep -E '^#[0-9]+' "$log" | tail -1)
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$line")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$line")
  corp=$(sed -nE 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$line")
  if [ $rc -eq 0 ]; then
    result=ok
  else
    result="FAILED (see $log)"
    status=1
  fi
  printf '%-14s %12s %9s %7s %8s %16s  %s\n' "$target" "${runs:--}" "${rate:--}" "${cov:--}" "${ft:--}" \
    "${corp:--}" "$result"
done
exit $status
