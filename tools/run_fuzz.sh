#!/usr/bin/env bash
# Builds the fuzz targets into build/fuzz and runs each on a copy of its
# committed seed corpus (the committed corpus is never grown). Fails on any crash,
# leak, timeout or sanitizer report.
#   FUZZ_RUNS   executions per target (default 200000)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
runs="${FUZZ_RUNS:-200000}"
mkdir -p "$build"

flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -D_GLIBCXX_ASSERTIONS -I"$root")
sources=("$root/text/case_fold.cpp" "$root/text/case_fold_portable.cpp"
         "$root/text/pattern.cpp" "$root/text/url_components.cpp" "$root/text/ascii_url.cpp" "$root/text/proxy_text.cpp")

declare -A max_len=([fuzz_pattern]=330 [fuzz_url]=4200 [fuzz_proxy_text]=4200 [fuzz_aria2_status]=8192)
targets=(fuzz_pattern fuzz_url fuzz_proxy_text fuzz_aria2_status)
# The engine's reading of aria2's answers has sources of its own.
declare -A own_sources=([fuzz_aria2_status]="$root/engine_server/aria2_protocol.cpp")

for target in "${targets[@]}"; do
    echo "== building $target"
    extra=${own_sources[$target]:-}
    if [ -n "$extra" ]; then
        clang++ "${flags[@]}" "$root/tests/fuzz/$target.cpp" "$extra" -o "$build/$target"
    else
        clang++ "${flags[@]}" "$root/tests/fuzz/$target.cpp" "${sources[@]}" -o "$build/$target"
    fi
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# The targets run side by side.
run_target() {
    local target="$1" work="$build/corpus/$1"
    rm -rf "$work"
    mkdir -p "$work"
    cp -r "$root/tests/fuzz/corpus/$target/." "$work/"
    cd "$build"
    "./$target" "$work" -runs="$runs" -max_len="${max_len[$target]}" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/$target-" 2>"$build/$target.log"
}

declare -A pids
for target in "${targets[@]}"; do
    echo "== running $target ($runs runs)"
    run_target "$target" &
    pids[$target]=$!
done

status=0
for target in "${targets[@]}"; do
    if wait "${pids[$target]}"; then
        echo "== $target passed: $(grep -E '^Done' "$build/$target.log")"
    else
        echo "!! $target failed; see $build/$target.log"
        tail -n 40 "$build/$target.log"
        status=1
    fi
done
exit $status
