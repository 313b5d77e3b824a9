#!/usr/bin/env bash
# Whole-program and kernel benchmarks.
#   bash bench/run_bench.sh            (writes its files under /tmp/vadrel-bench)
#   BENCH_BIN=/path/to/vadrel bash bench/run_bench.sh   measures another build
#   (with BENCH_OKADA=/path/to/bench_okada for its kernel figures)
#
# Prints, each the median of three runs, with the peak resident memory:
#   - ns per patch evaluation, scalar, batch as dispatched, and each lane
#     form (Google Benchmark; the dip-20 thrust is the headline geometry),
#     and the processor's multiply and add rates per lane at four and eight
#     lanes (bench_units);
#   - whole process, one core: ns per point for 1,000,000 points x 1 segment
#     (ascii and vector records), ns per point-segment for 40,000 points x
#     200 segments;
#   - one core and both (seven runs of each in turns, the median of the
#     paired ratios, the ratio of the best runs and of the processor time,
#     after the processor time of two independent one-core runs at once
#     against each alone, and the best speed-up the two cores allow from
#     one-core runs on each alone): an M card of 1000 x 1000 nodes x 10 segments,
#     1,000,000 points x 10 segments, and 1,000,000 points x 1 segment for
#     the ascii, vector, strain and analytic records;
#   - per-point cost of strain, partial and analytic records (one segment,
#     one core) against ascii;
#   - against the DC3D yardstick (../shared/yardstick, or BENCH_YARDSTICK):
#     its ns per point and per point-segment on the first two workloads,
#     paired run by run with the program's, and the median ratio;
#   - the kernel paths (VADREL_KERNEL): whole-process time of each, and how
#     many records of the benchmark's print files differ from the scalar
#     path's (a value within rounding of its last digit's boundary);
#   - peak memory of 1,000 and of 10,000,000 points.
# Needs GNU time (/usr/bin/time) and taskset.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/ensure-deps.sh --bench >/dev/null
if [ -z "${BENCH_BIN:-}" ]; then
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVADREL_TESTS=OFF -DVADREL_BENCH=ON \
    -DVADREL_PYTHON=OFF -DVADREL_MANPAGE=OFF >/dev/null
  cmake --build build-bench -j2 >/dev/null
  bin=$root/build-bench/vadrel
else
  bin=$BENCH_BIN
fi
work=${BENCH_DIR:-/tmp/vadrel-bench}
mkdir -p "$work"
cd "$work"
cores=$(nproc)
echo "vadrel benchmarks, $(date +%F), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $cores cores"

# points NX NY FILE: a vertical look, then NX x NY points over +-100 km.
points() {
  awk -v nx="$1" -v ny="$2" 'BEGIN { print "V -0.6 -0.1 0.7937 1";
    for (j = 0; j < ny; j++) for (i = 0; i < nx; i++)
      printf " %.4f %.4f\n", -100 + 200 * i / (nx - 1), -100 + 200 * j / (ny - 1) }' > "$3"
}
# tiles NS ND FILE: a 200 km x 100 km thrust plane (strike 10, dip 20, top
# 5 km deep) cut into NS x ND segments with varied slip.
tiles() {
  awk -v ns="$1" -v nd="$2" 'BEGIN { pi = atan2(0, -1); s = 10 * pi / 180; d = 20 * pi / 180;
    ax = sin(s); ay = cos(s); ux = -cos(s); uy = sin(s); len = 200; wid = 100;
    deep = 5 + wid * sin(d); L = len / ns; W = wid / nd;
    x0 = -0.5 * len * ax - 0.5 * wid * cos(d) * ux; y0 = -0.5 * len * ay - 0.5 * wid * cos(d) * uy;
    for (j = 0; j < nd; j++) { h = j * W * cos(d);
      for (i = 0; i < ns; i++)
        printf " %.6f %.6f 10 0 %.6f 20 3.0e10 3.0e10 %g %g 0.0 %g %g t%02d_%02d\n",
          x0 + i * L * ax + h * ux, y0 + i * L * ay + h * uy, deep - j * W * sin(d),
          200 + 30 * ((7 * i + 3 * j) % 11), 1000 + 100 * ((5 * i + 2 * j) % 13), L, W, i, j } }' > "$3"
}
median() { sort -g | sed -n 2p; }
# run1 CPUS ARGS...: one run: wall seconds (nanosecond clock), peak memory
# (KB) and processor seconds (user and system, all threads).  Each run
# writes new files: the previous run's print file and disp.ini are removed,
# and the file system synced, before the clock starts (replacing an existing
# file adds the file system's write-back of the new one at the rename and the
# freeing of the old one: about 20 ms for the 34 MB of a million ascii
# records, 110 ms for the 253 MB of analytic ones, on one core whatever the
# threads).
# (times, a builtin, reports the shell's finished children; in a pipe or a
# command substitution it would report those of a new subshell: none.)
children_cpu() {
  times > times.txt
  awk 'NR == 2 { n = 0; for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); n += a[1] * 60 + a[2] } printf "%.4f\n", n }' times.txt
}
run1() {
  local cpus=$1 t0 t1 c0 c1 kb; shift
  rm -f "$3" disp.ini
  sync -f .
  children_cpu > cpu0.txt
  t0=$(date +%s%N)
  taskset -c "$cpus" /usr/bin/time -f "%M" -o mem.txt "$bin" "$@" > console.txt
  t1=$(date +%s%N)
  children_cpu > cpu1.txt
  read -r c0 < cpu0.txt
  read -r c1 < cpu1.txt
  read -r kb < mem.txt
  printf '%s %s %s\n' "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')" "$kb" \
    "$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.4f", b - a }')"
}
# run3 CPUS ARGS...: the median wall seconds and the largest peak memory of
# three runs.
run3() {
  local cpus=$1 t kb m=0 ts=(); shift
  for _ in 1 2 3; do
    read -r t kb _ < <(run1 "$cpus" "$@")
    ts+=("$t")
    [ "$kb" -gt "$m" ] && m=$kb
  done
  printf '%s %s\n' "$(printf '%s\n' "${ts[@]}" | median)" "$m"
}
# turns ARGS...: seven runs on one core and seven on all, taken in turns so
# that a drift of the machine's pace (a virtual machine's neighbours) falls
# on both alike.  Prints the median wall seconds of each, the median of the
# seven paired ratios, the largest peak memory (KB) of each, the ratio of
# the best runs (noise on a shared machine only ever adds time), and the
# median of the paired ratios of processor time, all cores against one: the
# work added by running on several cores (1.00: none), which tells a
# program's own cost of threads from a machine that gives a second core
# less than a whole one.
turns() {
  local a b ka kb ca cb m1=0 m2=0 one=() all_=() ratio=() work=()
  for _ in 1 2 3 4 5 6 7; do
    read -r a ka ca < <(run1 0 "$@")
    read -r b kb cb < <(run1 "$all" "$@")
    one+=("$a")
    all_+=("$b")
    ratio+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f", a / b }')")
    work+=("$(awk -v a="$ca" -v b="$cb" 'BEGIN { printf "%.4f", (a > 0 ? b / a : 0) }')")
    [ "$ka" -gt "$m1" ] && m1=$ka
    [ "$kb" -gt "$m2" ] && m2=$kb
  done
  mid() { sort -g | sed -n 4p; }
  best() { sort -g | sed -n 1p; }
  local b1 b2
  b1=$(printf '%s\n' "${one[@]}" | best)
  b2=$(printf '%s\n' "${all_[@]}" | best)
  printf '%s %s %s %s %s %s %s\n' "$(printf '%s\n' "${one[@]}" | mid)" "$(printf '%s\n' "${all_[@]}" | mid)" \
    "$(printf '%s\n' "${ratio[@]}" | mid | awk '{ printf "%.2f", $1 }')" "$m1" "$m2" \
    "$(awk -v a="$b1" -v b="$b2" 'BEGIN { printf "%.2f", a / b }')" \
    "$(printf '%s\n' "${work[@]}" | mid | awk '{ printf "%.2f", $1 }')"
}
# alone_and_together: the machine's own limits on using two cores at once.
# Seven rounds of a one-core ascii run (1e6 points x 1 segment) on core 0
# and on core 1, each alone, then both at once, each in a folder of its own.
# Prints two medians over the rounds: the ratio of processor time, both at
# once against alone (1.00: the cores do not slow each other), and the
# speed-up two cores could give at best against core 0 alone, 1 + (core 0's
# wall time)/(core 1's), taken from the runs alone (2.00: the cores are
# equally fast; a virtual machine's second core is at times much slower,
# its host's other guests taking it).  A program on two cores cannot do
# better than these allow.
alone_and_together() {
  local ratio=() ceiling=()
  mkdir -p core0 core1
  cp pA fA core0/
  cp pA fA core1/
  # one_core DIR CPU: processor seconds (the subshell's finished children:
  # the run) and wall seconds of one run in DIR on CPU, on two lines.
  one_core() {
    (cd "$1" && rm -f out disp.ini && t0=$EPOCHREALTIME &&
      taskset -c "$2" "$bin" pA fA out ascii > /dev/null && t1=$EPOCHREALTIME &&
      children_cpu && awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }')
  }
  for _ in 1 2 3 4 5 6 7; do
    local s0 s1 w0 w1 p0 p1
    { read -r s0; read -r w0; } < <(one_core core0 0)
    { read -r s1; read -r w1; } < <(one_core core1 1)
    one_core core0 0 > core0/both.txt &
    one_core core1 1 > core1/both.txt &
    wait
    read -r p0 < core0/both.txt
    read -r p1 < core1/both.txt
    ratio+=("$(awk -v a="$s0" -v b="$s1" -v c="$p0" -v d="$p1" 'BEGIN { printf "%.4f", (c + d) / (a + b) }')")
    ceiling+=("$(awk -v a="$w0" -v b="$w1" 'BEGIN { printf "%.4f", 1 + a / b }')")
  done
  printf '%s %s\n' "$(printf '%s\n' "${ratio[@]}" | sort -g | sed -n 4p | awk '{ printf "%.2f", $1 }')" \
    "$(printf '%s\n' "${ceiling[@]}" | sort -g | sed -n 4p | awk '{ printf "%.2f", $1 }')"
}
per() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.0f", s * 1e9 / n }'; }
all=0-$((cores - 1))

[ -f pA ] || points 1000 1000 pA
[ -f pB ] || points 200 200 pB
[ -f p1k ] || points 40 25 p1k
[ -f p10m ] || points 4000 2500 p10m
echo " 0.0 -20.0 10.0 0 15.0 30.0 3.0e10 3.0e10 200.0 1000.0 100.0 40.0 20.0 segA" > fA
tiles 20 10 fB
tiles 5 2 f10
printf 'V 0 0 1 1\nM -100 -100 0.2 0.2 1000 1000\n' > pM

echo
echo "== patch kernel, ns per point (ScalarCalls: okada_patch one point at a time; BatchAVX2, BatchAVX512: the lane forms; BatchDispatch: as a run uses it; BatchEnu: as a range run sums it)"
kernel_bench=${BENCH_OKADA:-}
[ -z "$kernel_bench" ] && [ -z "${BENCH_BIN:-}" ] && kernel_bench=$root/build-bench/bench_okada
if [ -n "$kernel_bench" ] && [ -x "$kernel_bench" ]; then
  "$kernel_bench" --benchmark_filter='BM_Points(ScalarCalls|BatchAVX2|BatchAVX512|BatchDispatch|BatchEnu)' \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ { sub("BM_Points", "", $1); sub("_median", "", $1); sub("per_point=", "", $(NF-1));
                     printf "  %-22s %-18s %8s\n", $1, $NF, $(NF-1) }'
  # What the wider lanes can give: the processor's multiply and add rates
  # per lane at each width (one 512-bit operation on two 256-bit halves
  # gives the same rate as two 256-bit ones).
  units=$(dirname "$kernel_bench")/bench_units
  if [ -x "$units" ]; then taskset -c 0 "$units" | sed 's/^/  /'; fi
fi

echo
echo "== whole process, one core"
read -r t m < <(run3 0 pA fA out ascii); echo "  1e6 points x 1 segment, ascii:        $(per "$t" 1000000) ns/point   ${m} KB"
ta=$t
read -r t m < <(run3 0 pA fA out vector); echo "  1e6 points x 1 segment, vector:       $(per "$t" 1000000) ns/point   ${m} KB   ($(awk -v a="$t" -v b="$ta" 'BEGIN{printf "%.2f", a/b}') x ascii)"
read -r t m < <(run3 0 pB fB out ascii); echo "  40,000 points x 200 segments:         $(per "$t" 8000000) ns/point-segment   ${m} KB"

echo
yard=${BENCH_YARDSTICK:-$root/../shared/yardstick}
if [ -f "$yard/run.sh" ]; then
  # The yardstick: DC3D's surface displacement timed around its compute loop
  # alone, on the same two workloads; each of its runs is paired with a run
  # of the program just after it, and the median of seven paired ratios is
  # printed (the machine's pace drifts between runs).
  echo "== against the yardstick (DC3D's compute loop, $yard), one core, seven pairs of runs"
  bash "$yard/run.sh" "$work/yardstick" > /dev/null
  dc3d=$work/yardstick/dc3d_bench
  for w in A B; do
    ys=(); vs=(); rs=()
    for _ in 1 2 3 4 5 6 7; do
      if [ $w = A ]; then
        y=$(taskset -c 0 "$dc3d" "$work/yardstick/faults_A.txt" 1000 100 surf | sed -n 's/.*ns_per_point= *\([0-9.]*\).*/\1/p')
        read -r t _ _ < <(run1 0 pA fA out ascii); n=1000000
      else
        y=$(taskset -c 0 "$dc3d" "$work/yardstick/faults_B.txt" 200 100 surf | sed -n 's/.*ns_per_point_seg= *\([0-9.]*\).*/\1/p')
        read -r t _ _ < <(run1 0 pB fB out ascii); n=8000000
      fi
      v=$(awk -v s="$t" -v n="$n" 'BEGIN { printf "%.1f", s * 1e9 / n }'); ys+=("$y"); vs+=("$v")
      rs+=("$(awk -v v="$v" -v y="$y" 'BEGIN { printf "%.3f", v / y }')")
    done
    mid7() { sort -g | sed -n 4p; }
    echo "  workload $w ($( [ $w = A ] && echo "1e6 points x 1 segment, ascii, per point" || echo "40,000 points x 200 segments, per point-segment")): DC3D $(printf '%s\n' "${ys[@]}" | mid7) ns, vadrel $(printf '%s\n' "${vs[@]}" | mid7) ns, ratio $(printf '%s\n' "${rs[@]}" | mid7) (paired ratios $(printf '%s\n' "${rs[@]}" | sort -g | sed -n '1p;$p' | paste -sd- -))"
  done
else
  echo "== against the yardstick: skipped ($yard/run.sh not found; BENCH_YARDSTICK names its folder)"
fi

echo
echo "== one core and all $cores (processor time: all cores' against one core's, the work added)"
if [ "$cores" -ge 2 ]; then
  read -r together ceiling < <(alone_and_together)
  echo "  two one-core runs at once against each alone, processor time: $together x; best two-core speed-up the cores allow (1 + core 0's time/core 1's): $ceiling"
fi
read -r t1 t2 r m1 m2 rb w < <(turns pM f10 out ascii)
echo "  M card 1000 x 1000 x 10 segments:     ${t1} s (${m1} KB) / ${t2} s (${m2} KB)   speed-up ${r} (best runs ${rb}; processor time ${w} x)"
read -r t1 t2 r m1 m2 rb w < <(turns pA f10 out ascii)
echo "  1e6 points x 10 segments:             ${t1} s (${m1} KB) / ${t2} s (${m2} KB)   speed-up ${r} (best runs ${rb}; processor time ${w} x)"
for option in ascii vector strain analytic; do
  read -r t1 t2 r m1 m2 rb w < <(turns pA fA out "$option")
  echo "  1e6 points x 1 segment, $(printf '%-9s' "$option:")    ${t1} s (${m1} KB) / ${t2} s (${m2} KB)   speed-up ${r} (best runs ${rb}; processor time ${w} x)"
done

echo
echo "== per-point cost by record kind (1e6 points x 1 segment, one core)"
read -r base m < <(run3 0 pA fA out ascii)
echo "  ascii     $(per "$base" 1000000) ns/point   ${m} KB"
for option in vector strain partial analytic; do
  read -r t m < <(run3 0 pA fA out "$option")
  echo "  $(printf '%-9s' "$option") $(per "$t" 1000000) ns/point   ${m} KB   ($(awk -v a="$t" -v b="$base" 'BEGIN{printf "%.2f", a/b}') x ascii)"
done

echo
echo "== kernel paths (VADREL_KERNEL), one core: time, and records differing from the scalar path's"
# differing A B: records of the first print file not in the second (the
# header lines, which name the file, left out)
differing() { { diff "$1" "$2" || true; } | { grep -v '^< *\*' || true; } | grep -c '^<' || true; }
for option in ascii analytic; do
  pts=pA; [ "$option" = analytic ] && pts=pB
  for path in scalar avx2 avx512; do
    read -r t m < <(VADREL_KERNEL=$path run3 0 "$pts" fA "out.$path" "$option")
    echo "  $(printf '%-9s %-7s' "$option" "$path") $(per "$t" "$(($(wc -l < "$pts") - 1))") ns/point$( [ "$path" = scalar ] ||
      echo "   $(differing "out.scalar" "out.$path") records differ from scalar")"
  done
done
rm -f out.scalar out.avx2 out.avx512

echo
echo "== streaming memory"
read -r t m1 < <(run3 "$all" p1k fA out ascii); echo "  1,000 points:       ${m1} KB"
read -r t m2 < <(run3 "$all" p10m fA out ascii); echo "  10,000,000 points:  ${m2} KB   (${t} s)"
rm -f out disp.ini
