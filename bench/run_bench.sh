#!/usr/bin/env bash
# Whole-program benchmarks: wall time and peak memory of default runs over
# large points files, and the per-point cost of each record kind.
#   bash bench/run_bench.sh            (writes its files under /tmp)
# Needs /usr/bin/time (GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVADREL_TESTS=OFF >/dev/null
cmake --build build-release -j2 --target vadrel >/dev/null
bin=$PWD/build-release/vadrel
work=${BENCH_DIR:-/tmp/vadrel-bench}
mkdir -p "$work"
cd "$work"

points() {  # points N FILE: N data lines on a square grid of about 200 km
  awk -v n="$1" 'BEGIN { print "V -0.6 -0.1 0.7937 1"; side = int(sqrt(n)) + 1;
    for (i = 0; i < n; i++) printf " %.3f %.3f\n", -100 + 200 * (i % side) / side, -100 + 200 * int(i / side) / side }' > "$2"
}
faults() {  # faults K FILE: K segments of a thrust tiled along strike
  awk -v k="$1" 'BEGIN { for (i = 0; i < k; i++)
    printf " %.3f %.3f 10 0 20 25 3e10 3e10 300 1500 0 %.3f 30 s%d\n", 0, -60 + 120 * i / k, 120 / k, i }' > "$2"
}
measure() {  # measure LABEL ARGS...: wall seconds and peak resident memory
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o time.txt "$bin" "$@" > console.txt
  read -r secs kb < time.txt
  printf '%-40s %9.2f s %9d KB\n' "$label" "$secs" "$kb"
}

[ -f p1k ] || points 1000 p1k
[ -f p100k ] || points 100000 p100k
[ -f p1m ] || points 1000000 p1m
[ -f p10m ] || points 10000000 p10m
faults 1 f1
faults 100 f100

echo "== default run (range records)"
measure "1,000 points, 1 segment" p1k f1 out ascii
measure "1,000,000 points, 1 segment" p1m f1 out ascii
measure "1,000,000 points, 100 segments" p1m f100 out ascii
measure "10,000,000 points, 1 segment" p10m f1 out ascii

echo "== per-point cost by record kind (100,000 points, 1 segment)"
for option in ascii strain partial analytic; do
  measure "$option" p100k f1 out "$option"
done
rm -f out
