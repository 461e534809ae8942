#!/bin/sh
# Line and branch coverage of the library and the stand-in by the tests:
# builds the coverage preset, runs its tests from fresh counters and prints
# gcovr's tables per file (lines, then branches). Extra arguments go to
# gcovr (--html-details build/coverage/index.html, say).
set -eu
cd "$(dirname "$0")/.."
cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage || echo "coverage.sh: some tests failed; the figures count what ran" >&2
gcovr -r . --filter 'src/lib/' "$@" build/coverage
gcovr -r . --filter 'src/lib/' --branches build/coverage
