#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`: clang, AddressSanitizer and
# UBSan) and runs each for the given number of seconds (default 20), starting
# from its seed corpus and named regression inputs in tests/fuzz/. Fails when
# any target crashes, reports a sanitizer error or a broken invariant, leaks,
# or hangs; the input that did it is saved under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [seconds]
#   Replay one input: build/fuzz/tests/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
targets=(receive_parser handle_request device_ids pipe_list command_line telegram state_file mqtt_packet
         set_payload devices_ini)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz
mkdir -p "$out/artifacts"
failed=()
for target in "${targets[@]}"; do
  # New inputs found by this and earlier runs stay in the build tree.
  work=$out/corpus/$target
  log=$out/$target.log
  mkdir -p "$work"
  if "$out/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
       -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
       "$work" "tests/fuzz/corpus/$target" "tests/fuzz/regressions/$target" \
       >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: ${runs:-?} inputs in ${seconds} s, no findings"
  else
    tail -n 40 "$log"
    echo "fuzz: $target: FAILED (log $log, input in $out/artifacts/)"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}"
  exit 1
fi
