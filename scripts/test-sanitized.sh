#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the whole test suite against that build. Leak detection is off: the
# interpreter itself keeps memory until exit by design.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$here" -B "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON \
      -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$here/build-asan" -j"$(nproc)"
cd "$here"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# OpenCV reports a failed huge allocation as an error; let it see NULL.
# tesserocr as Debian builds it frees with free() what Tesseract allocated
# with new[]: that mismatch is theirs, and the compiler checks ours
# (-Wmismatched-new-delete, part of -Wall).
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:alloc_dealloc_mismatch=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QEL_CV_BUILD_DIR="$here/build-asan" QEL_CV_SANITIZED=1
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
