#!/usr/bin/env bash
# Builds the source tree twice, from copies in two different folders, and
# checks that the programs come out byte for byte the same.
#
# usage: check_reproducible.sh CMAKE SOURCE_DIR CXX_COMPILER BUILD_TYPE
set -euo pipefail
cmake=$1 source=$2 compiler=$3 build_type=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for folder in "$work/one" "$work/second/folder"; do
  mkdir -p "$folder"
  tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$folder" -xf -
  "$cmake" -S "$folder" -B "$folder/build" -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE="$build_type" > /dev/null
  "$cmake" --build "$folder/build" -j 2 > /dev/null
done
failed=0
for program in parallel_sum parallel_hello; do
  cmp "$work/one/build/$program" "$work/second/folder/build/$program" \
    || { echo "FAIL: $program differs between the two builds"; failed=1; }
done
exit "$failed"
