# Sourced by every shell check: strict mode, the C locale, a temporary folder
# removed at exit, failures counted rather than fatal, and what more than one
# check needs to know about the built files.
set -euo pipefail
export LC_ALL=C

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
fail() { echo "FAIL: $*"; failed=1; }
skip() { echo "SKIP: $*"; exit 77; }
# Ends the check: status 1 if anything failed.
finish() { exit "$failed"; }

# What an install puts under its prefix, and the package under /usr.
installed_files() {
  local module
  {
    # The tracer with MPICH's half where the build made one (MPICH_TRACER set).
    printf '%s\n' bin/parallel_hello bin/parallel_sum bin/watch-region lib/x86_64-linux-gnu/fork-join/libregion_tracer.so \
      ${MPICH_TRACER:+lib/x86_64-linux-gnu/fork-join/mpich/libregion_tracer.so} \
      share/doc/fork-join/changelog.gz share/doc/fork-join/copyright share/man/man1/parallel_hello.1.gz \
      share/man/man1/parallel_sum.1.gz share/man/man1/watch-region.1.gz \
      share/fork-join/tracer/entries.def share/fork-join/tracer/events.def \
      share/fork-join/tracer/mpi_entries.def \
      share/fork-join/watch_region/comparison.schema.json share/fork-join/watch_region/report.schema.json
    for module in "$(dirname "${BASH_SOURCE[0]}")"/../watch-region/watch_region/{,*/}*.py; do
      echo "share/fork-join/${module#*/watch-region/}"
    done
  } | sort
}

# The files below FOLDER, one a line, relative to it, sorted.
files_below() { (cd "$1" && find . -type f -printf '%P\n' | sort); }

# A run path (RPATH or RUNPATH) makes the loader search folders that the
# system's own configuration does not name; an empty entry in one means the
# current folder. No program carries one.
check_no_run_path() {
  local program paths
  for program; do
    paths=$(readelf -dW "$program" | grep -E '\((RPATH|RUNPATH)\)' || true)
    [[ -z $paths ]] || fail "$program has a run path: $paths"
  done
}

# Copies the source tree at $1, without its builds and history, into folder $2.
copy_source() {
  mkdir -p "$2"
  tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$2" -xf -
}
