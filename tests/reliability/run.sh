#!/usr/bin/env bash
# The sanitizer and fuzz runs of the native code, each in a clang build folder of its own.
#
#   run.sh build asan|tsan          configure and build (asan also builds the fuzzers)
#   run.sh driver asan|tsan [ARGS]  run the driver under that sanitizer (ARGS: GoogleTest flags)
#   run.sh fuzz TARGET SECONDS      run a fuzzer (port_name, write_range) from the seed corpus
#
# The build folders are under $TARVOLEX_RELIABILITY_BUILD (default build/reliability). A fuzz
# run grows its corpus in <build>/corpus/TARGET, keeps crashing inputs in <build>/findings and
# prints libFuzzer's final statistics (executions, corpus size).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${TARVOLEX_RELIABILITY_BUILD:-$root/build/reliability}

folder() {
    case "$1" in
    asan) echo "$build/asan" ;;
    tsan) echo "$build/tsan" ;;
    *) echo "unknown sanitizer: $1" >&2; exit 2 ;;
    esac
}

case "${1:-}" in
build)
    dir=$(folder "$2")
    sanitize=$([ "$2" = asan ] && echo address || echo thread)
    cmake -S "$here/sanitized" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOLEX_SANITIZE="$sanitize" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    ;;
driver)
    dir=$(folder "$2")
    # Any report ends the run with a failure; LeakSanitizer runs at exit.
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0
    exec "$dir/reliability_driver" --gtest_brief=1 "${@:3}"
    ;;
fuzz)
    target=$2
    seconds=$3
    dir=$(folder asan)
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    mkdir -p "$corpus" "$findings"
    export ASAN_OPTIONS=detect_leaks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # -close_fd_mask=2 silences the library's trace on standard error; reports still show.
    args=(-max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=2 -timeout=10
          -rss_limit_mb=4096 -artifact_prefix="$findings/")
    [ -f "$here/$target.dict" ] && args+=(-dict="$here/$target.dict")
    exec "$dir/fuzz_$target" "${args[@]}" "$corpus" "$here/corpus/$target"
    ;;
*)
    sed -n '2,11p' "$0" >&2
    exit 2
    ;;
esac
