#!/usr/bin/env bash
# Wall time and peak memory of the grid cards on large grids:
#
#   1. an M card of 1000 x 1000 nodes over a fault of 10 segments;
#   2. a U card on a curvilinear grid of 501 x 501 nodes (500 x 500 cells)
#      with a depth/mask file, over the same fault.
#
# For each run it reports the wall time and the peak resident memory
# (/usr/bin/time -v), the time spent writing the initial-condition file
# (from the first write on that file to its close, timed with strace), and,
# when perf can sample, the share of CPU time in the patch evaluations, in
# formatting the print-file records and in formatting the initial-condition
# file.
#
# Usage: bash bench/grid_bench.sh        (builds build-release/vadrel first)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVADREL_TESTS=OFF -DVADREL_PYTHON=OFF -DVADREL_MANPAGE=OFF >/dev/null
cmake --build build-release -j2 --target vadrel >/dev/null
bin="$PWD/build-release/vadrel"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A thrust 100 km along strike in ten 10 km segments, under both grids.
awk 'BEGIN {
  for (k = 0; k < 10; k++)
    printf " 40.0 %.1f 0.0 0 20.0 20.0 3.0e10 3.0e10 %d %d 0.0 10.0 40.0 seg%d\n",
           -50 + 10 * k, 100 + 20 * k, 2000 + 100 * k, k
}' > faults.txt

# 1000 x 1000 nodes, 100 m apart, over a 100 km square around the fault.
printf 'V 0 0 1 1\nM 0 -50 0.1 0.1 1000 1000\n' > m_points.txt

# 501 x 501 nodes, 200 m apart with a gentle curve, in metres; rows wrap
# after 10 values.  Every x is positive, so no node reads as missing (0 or
# a whole part of -999).  The depth/mask file has 502 rows of 502 values: deep
# water in the west, a shelf, land in the east.
awk -v n=501 'BEGIN {
  print "* benchmark grid"; print "Coordinate System = Cartesian"; print n, n; print " 0 0 0"
  for (b = 0; b < 2; b++) {
    for (j = 1; j <= n; j++) {
      line = sprintf(" ETA=%5d", j)
      for (i = 1; i <= n; i++) {
        if (b == 0) v = 0.5 + 200 * (i - 1) + 800 * sin(3.14159265 * (j - 1) / (n - 1))
        else        v = -50000 + 200 * (j - 1) + 500 * cos(3.14159265 * (i - 1) / (n - 1))
        line = line sprintf(" %.2f", v)
        if (i % 10 == 0 && i < n) { print line; line = "          " }
      }
      print line
    }
  }
}' > big.grd
awk -v n=502 'BEGIN {
  for (j = 1; j <= n; j++) {
    line = ""
    for (i = 1; i <= n; i++) {
      d = 3000 - 7 * i
      line = line (i > 1 ? " " : "") d
    }
    print line
  }
}' > big.dep
printf 'V 0 0 1 1\nU big.grd\nD big.dep\n' > u_points.txt

have_strace=0; command -v strace >/dev/null 2>&1 && have_strace=1
have_perf=0
if command -v perf >/dev/null 2>&1 && perf record -q -o /dev/null -- true >/dev/null 2>&1; then have_perf=1; fi

# Seconds from the first write on the initial-condition file to its close.
write_phase() {
  local ini=$1; shift
  strace -ttt -e trace=openat,write,close -o trace.txt "$bin" "$@" >/dev/null
  awk -v ini="$ini" '
    index($0, "\"" ini "\"") && /openat/ { fd = $NF; next }
    fd != "" && first == "" && $2 ~ ("^write\\(" fd ",") { first = $1 }
    fd != "" && first != "" && $2 ~ ("^close\\(" fd "\\)") { last = $1; exit }
    END { if (first != "" && last != "") printf "%.3f", last - first; else printf "n/a" }
  ' trace.txt
}

# CPU shares by symbol class from a perf profile.
cpu_shares() {
  perf record -q -F 499 -o perf.data -- "$bin" "$@" >/dev/null 2>&1
  perf report -i perf.data --stdio --sort dso,sym 2>/dev/null | awk '
    /^ *[0-9.]+%/ {
      p = $1; sub("%", "", p); line = $0
      if (line ~ /libm\.so|chin|okada_patch|compute_range|at_finite_point|finite_patch|segment_enu|calc_range|atan@plt|log@plt|sqrt@plt|sin@plt|cos@plt/) patch += p
      else if (line ~ /write_ini|IniFile|put_value|fmt_free|value_text|libstdc\+\+/) ini += p
      else if (line ~ /printf|hack_digit|mpn_|fmt_f|strlen|strchrnul|_IO_str|_IO_setb|right|memchr|write_record|PrintFile|write_line/) prt += p
      else if (line ~ /\[k\]/) kern += p
      else other += p
    }
    END {
      printf "patch evaluations %.1f%%, print-file formatting %.1f%%, initial-condition formatting %.1f%%, kernel (file I/O) %.1f%%, other %.1f%%", patch, prt, ini, kern, other
    }'
}

run_case() {
  local title=$1 ini=$2 points=$3
  echo "== $title"
  /usr/bin/time -v -o time.txt "$bin" "$points" faults.txt print.out ascii > console.txt
  tail -1 console.txt
  echo "wall time:        $(grep 'Elapsed (wall clock)' time.txt | awk '{print $NF}')"
  echo "peak memory:      $(grep 'Maximum resident' time.txt | awk '{print $NF}') kB"
  echo "print file:       $(stat -c %s print.out) bytes; $ini: $(stat -c %s "$ini") bytes"
  if [ $have_strace = 1 ]; then
    echo "writing $ini: $(write_phase "$ini" "$points" faults.txt print.out ascii) s"
  fi
  if [ $have_perf = 1 ]; then
    echo "cpu:              $(cpu_shares "$points" faults.txt print.out ascii)"
  fi
}

printf 'V 0 0 1 1\nM 0 -50 10 10 10 10\n' > small_points.txt
/usr/bin/time -v -o time.txt "$bin" small_points.txt faults.txt print.out ascii > /dev/null
echo "== baseline: M card of 10 x 10 nodes"
echo "peak memory:      $(grep 'Maximum resident' time.txt | awk '{print $NF}') kB (the constant part)"
echo "   (a grid adds 8 bytes per node for each array: 1 for G and M, 3 or 4 for U and S)"
run_case "M card, 1000 x 1000 nodes, 10 segments" disp.ini m_points.txt
run_case "U card, 501 x 501 nodes (500 x 500 cells) with depth/mask, 10 segments" big.ini u_points.txt
