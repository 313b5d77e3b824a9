#!/usr/bin/env bash
# Tests never write to a device of the machine they run on: a faulty writer
# under test once replaced a machine's null device by a regular file.  No
# C++ source of the tests or of the fuzz targets names the null or the full
# device, except on a line marked "// reads only" (a device the test only
# reads, such as a child's standard input).  A print file that goes nowhere
# is a file of the test's temporary directory or a pipe the test reads; a
# full disk is a file-size limit on a child run of the program.
#   check_no_device_writes.sh SOURCE_DIR
set -uo pipefail
root=${1:?usage: check_no_device_writes.sh SOURCE_DIR}
mapfile -d '' sources < <(find "$root/tests" "$root/fuzz" -type f \
  \( -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' -o -name '*.h' \) -print0 | sort -z)
if [ "${#sources[@]}" -eq 0 ]; then
  echo "no C++ sources under $root/tests and $root/fuzz: nothing was checked"
  exit 1
fi
# The device names are written as patterns so that this script names none.
named=$(grep -n -H -E '/dev/(null|full)' "${sources[@]}")
status=$?
if [ "$status" -gt 1 ]; then
  echo "the sources could not be read (grep status $status)"
  exit 1
fi
found=$(printf '%s\n' "$named" | grep -v -F '// reads only' | grep -v '^$')
if [ -n "$found" ]; then
  echo "a test names a device it may write (write to a temporary file or a pipe instead;"
  echo "mark a line that only reads a device with // reads only):"
  printf '%s\n' "$found"
  exit 1
fi
echo "no device written by the tests: ${#sources[@]} sources checked"
