#!/usr/bin/env bash
# Builds the source tree twice, from copies in two different folders, and
# checks that the programs come out byte for byte the same. Only the two
# programs are built: nothing else goes into them.
#
# usage: check_reproducible.sh CMAKE SOURCE_DIR CXX_COMPILER BUILD_TYPE
source "$(dirname "$0")/lib.sh"
cmake=$1 source=$2 compiler=$3 build_type=$4

for folder in "$work/one" "$work/second/folder"; do
  copy_source "$source" "$folder"
  "$cmake" -S "$folder" -B "$folder/build" -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE="$build_type" > /dev/null
  "$cmake" --build "$folder/build" -j 2 --target parallel_sum parallel_hello > /dev/null
done
for program in parallel_sum parallel_hello; do
  cmp "$work/one/build/$program" "$work/second/folder/build/$program" \
    || fail "$program differs between the two builds"
done
finish
