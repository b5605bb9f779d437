#!/usr/bin/env bash
# Builds the fuzz targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for a bounded time. Usage: tests/fuzz/run.sh [seconds per target] [target...]
# A crash, a leak, an input slower than the per-input timeout or a process above the memory
# limit fails the run; the input that did it is kept under build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."

SECONDS_PER_TARGET=${1:-15}
shift || true
BUILD=${FUZZ_BUILD:-build/fuzz}
VENV=${VENV:-build/venv}
CXX_FUZZ=${FUZZ_CXX:-clang++-19}
JOBS=${JOBS:-$(nproc)}
ALL_TARGETS=(json_reader_fuzz duration_fuzz uuid_fuzz dns_fuzz)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL_TARGETS[@]}")

# Longest input per target: a few times the largest seed, so that the time and memory an input
# may take stay bounded.
max_len() {
    case "$1" in
        json_reader_fuzz) echo 8192 ;;
        duration_fuzz) echo 256 ;;
        uuid_fuzz) echo 64 ;;
        dns_fuzz) echo 1024 ;;
    esac
}

"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" \
    -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DOSTREL_BUILD_FUZZ=ON -DOSTREL_BUILD_TESTS=OFF -DOSTREL_BUILD_PYTHON=OFF >/dev/null
"$VENV/bin/cmake" --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"

# One target a core: each is a single process, and the short runs of the test command should
# not take four times their length.
run_target() {
    local target=$1
    # New inputs go to the first directory; the seeds in the repository are only read.
    mkdir -p "$BUILD/corpus/$target" "$BUILD/artifacts" "$BUILD/logs"
    local options=(-max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=1024
                   -max_len="$(max_len "$target")" -print_final_stats=1
                   -artifact_prefix="$BUILD/artifacts/$target-")
    [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")
    "$BUILD/tests/fuzz/$target" "${options[@]}" "$BUILD/corpus/$target" \
        "tests/fuzz/corpus/$target" >"$BUILD/logs/$target.log" 2>&1
}

failed=()
for ((i = 0; i < ${#TARGETS[@]}; i += JOBS)); do
    batch=("${TARGETS[@]:i:JOBS}")
    pids=()
    for target in "${batch[@]}"; do
        run_target "$target" &
        pids+=($!)
    done
    for j in "${!batch[@]}"; do
        target=${batch[$j]}
        log="$BUILD/logs/$target.log"
        if wait "${pids[$j]}"; then
            runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
            echo "$target: ${runs:-?} executions in ${SECONDS_PER_TARGET}s, no failure"
        else
            echo "$target: FAILED (log $log)"
            tail -n 60 "$log"
            failed+=("$target")
        fi
    done
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets failed: ${failed[*]}"
    exit 1
fi
