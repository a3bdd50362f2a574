#!/usr/bin/env bash
# Builds everything and runs every test.
#   BUILD_DIR         build folder (default: build/ in the source tree)
#   CMAKE_ARGS        extra arguments for the CMake configure step, split on blanks
#   CTEST_ARGS        extra arguments for ctest, split on blanks
#   JOBS              parallel build and test jobs (default 8)
# The exit code is ctest's.
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$src/build}"
jobs="${JOBS:-8}"

read -r -a cmake_args <<< "${CMAKE_ARGS:-}"
read -r -a ctest_args <<< "${CTEST_ARGS:-}"

bash "$src/tools/install-deps.sh"

cmake -S "$src" -B "$build" -G Ninja "${cmake_args[@]}"
cmake --build "$build" -j "$jobs"

# Tests that need a display start their own Xvfb; none may use the caller's.
unset DISPLAY WAYLAND_DISPLAY

cd "$build"
set +e
ctest --output-on-failure -j "$jobs" "${ctest_args[@]}" </dev/null
rc=$?
set -e
exit "$rc"
