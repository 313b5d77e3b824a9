#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a while on a copy of its
# seed corpus.  Exits non-zero when a target finds a crash or a sanitizer
# report (the reproducer is left in build-fuzz/).
#   bash scripts/run_fuzz.sh [SECONDS_PER_TARGET]    (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-10}
bash scripts/ensure-deps.sh --fuzz
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVADREL_FUZZ=ON -DVADREL_TESTS=OFF -DVADREL_PYTHON=OFF -DVADREL_MANPAGE=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_number fuzz_faults fuzz_points fuzz_grid >/dev/null
cd build-fuzz
status=0
for target in number faults points grid; do
  work=corpus-$target
  mkdir -p "$work"
  echo "== fuzz_$target, $seconds s"
  if ! ./fuzz_$target -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
      -artifact_prefix="$PWD/crash-$target-" "$PWD/$work" "$root/fuzz/corpus/$target" 2> fuzz-$target.log; then
    status=1
    tail -n 40 fuzz-$target.log
  fi
  grep -E 'stat::number_of_executed_units|cov:' fuzz-$target.log | tail -n 2 || true
done
exit $status
