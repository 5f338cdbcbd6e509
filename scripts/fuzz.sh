#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs them. Usage: scripts/fuzz.sh [TARGET|all] [SECONDS]   (default: all, 60 s each)
# Each target starts from its seed corpus in fuzz/corpus/TARGET; what it finds besides goes to
# build-fuzz/corpus/TARGET, and a crashing input to build-fuzz/artifacts/ (the run then fails).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
seconds=${2:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [TARGET|all] [SECONDS]" >&2; exit 2 ;; esac
"$top/scripts/deps.sh"

dir="$top/build-fuzz"
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DFUZZ=ON -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target fuzz_targets

targets=()
if [ "$which" = all ]; then
  for f in "$top"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
else
  [ -f "$top/fuzz/$which.cpp" ] || { echo "no fuzz target $which" >&2; exit 2; }
  targets=("$which")
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
mkdir -p "$dir/artifacts"
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t" "$top/fuzz/corpus/$t"
  echo "== fuzz $t (${seconds} s)"
  if ! "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" \
        "$dir/corpus/$t" "$top/fuzz/corpus/$t" > "$dir/$t.log" 2>&1; then
    status=1
    tail -n 60 "$dir/$t.log"
    echo "== fuzz $t FAILED (log: $dir/$t.log)"
    continue
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$dir/$t.log" |
    sed 's/^/   /'
done
exit $status
