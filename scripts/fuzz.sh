#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) in build-fuzz/ and runs each one for a bounded time on its seed
# corpus from fuzz/corpus/<name>/. Any crash, sanitizer report, broken
# invariant, hang or leak fails the run; the input that did it is kept in
# build-fuzz/findings/.
#
#   SKEIN_FUZZ_SECONDS   time per harness (default 45)
#   SKEIN_FUZZ_ONLY      run only this harness
#
# A longer run, for instance an hour per harness:
#   SKEIN_FUZZ_SECONDS=3600 ./scripts/fuzz.sh
# The corpus a run grows stays in build-fuzz/corpus/<name>/; later runs start
# from it. Inputs worth keeping can be copied into fuzz/corpus/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${SKEIN_FUZZ_SECONDS:-45}
build=$PWD/build-fuzz
./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEIN_WERROR=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSKEIN_BUILD_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

# The harnesses work in boxes of their own, so every path given them is
# absolute. The boxes live in memory where possible: every version and status
# write is synced, which a disk makes slow.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

mkdir -p "$build/findings"
failed=()
ran=0
while IFS='=' read -r name binary; do
    [ -n "$name" ] || continue
    if [ -n "${SKEIN_FUZZ_ONLY:-}" ] && [ "$name" != "$SKEIN_FUZZ_ONLY" ]; then
        continue
    fi
    seeds=$PWD/fuzz/corpus/$name
    corpus=$build/corpus/$name
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$build/findings/$name-")
    [ -f "fuzz/$name.dict" ] && options+=(-dict="$PWD/fuzz/$name.dict")
    echo "== $name: $seconds s"
    if "$binary" "${options[@]}" "$corpus" "$seeds" >"$build/$name.log" 2>&1; then
        grep -E '^(stat::|#[0-9]+[[:space:]]+DONE)' "$build/$name.log" || true
    else
        tail -n 60 "$build/$name.log"
        failed+=("$name")
    fi
    ran=$((ran + 1))
done <"$build/fuzzers.txt"

if [ "$ran" -eq 0 ]; then
    echo "fuzz: no harness ran" >&2
    exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]} (inputs in $build/findings/, logs in $build/)" >&2
    exit 1
fi
echo "fuzz: $ran harness(es), no finding"
