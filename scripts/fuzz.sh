#!/usr/bin/env bash
# make fuzz: each fuzz target for a while under libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from its seed corpus. Inputs that make a
# target fail are kept in build-fuzz/crashes/; any such input fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=build-fuzz
targets=(framecodec decoderesponse window firmwareprocedure rsawrapper httphead)

ORV_NEED_CLANG=1 bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DORV_FUZZ=ON -DORV_SANITIZE=address,undefined \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" > /dev/null

mkdir -p "$build/crashes"
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
# Qt and fontconfig keep some objects for the life of the process.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
failed=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    mkdir -p "$corpus"
    log=$build/fuzz-$target.log
    if "$build/bin/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=20 \
        -artifact_prefix="$build/crashes/$target-" "$corpus" "tests/fuzz/corpus/$target" \
        > "$log" 2>&1; then
        echo "fuzz_$target: $(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1)"
    else
        echo "fuzz_$target: FAILED, see $log and $build/crashes/" >&2
        grep -E 'ERROR|SUMMARY|runtime error' "$log" | head -n 5 >&2 || true
        failed=1
    fi
done
exit $failed
