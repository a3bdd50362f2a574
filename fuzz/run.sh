#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on a copy of its seed
# corpus. Fails on the first crash, leak or sanitizer report.
#
#   fuzz/run.sh            60 seconds per target
#   FUZZ_SECONDS=600 fuzz/run.sh
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-fuzz}
seconds=${FUZZ_SECONDS:-60}

"$here/tools/install-deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_ASM_COMPILER=clang \
      -DVELM_BUILD_FUZZERS=ON -DVELM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target velm_fuzz_configuration velm_fuzz_manifest velm_fuzz_json_guard -j"$(nproc)"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$here/tests/sanitizers/ubsan.supp"

# The longest input each target is given. A configuration is cut at 1023 characters anyway; a
# manifest, and a text for the nesting guard, need room to nest far past the parser's bound, as
# the deep seeds in their corpora do.
declare -A max_len=([configuration]=4096 [manifest]=262144 [json_guard]=262144)

for target in configuration manifest json_guard; do
    # The guard's target is steered towards the characters that decide how the parser reads a text.
    options=()
    [[ $target != json_guard ]] || options=(-dict="$here/fuzz/json.dict")

    corpus=$(mktemp -d "/tmp/velm-fuzz-$target-XXXXXX")
    cp "$here/fuzz/corpus/${target//_/-}/"* "$corpus/"
    echo "== fuzzing $target for ${seconds}s"
    mkdir -p "$build/fuzz/artifacts"
    # The fuzzer's running account goes to a log; its end is shown, and all of it on a failure.
    log="$build/fuzz/$target.log"
    if ! "$build/fuzz/velm_fuzz_$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" -print_final_stats=1 "${options[@]}" \
             -artifact_prefix="$build/fuzz/artifacts/$target-" "$corpus" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "fuzzing $target failed: the input is in $build/fuzz/artifacts/"
        exit 1
    fi
    grep -E '^(Done|stat::)' "$log"
    rm -rf "$corpus"
done
