#!/bin/bash
# Builds the project and runs the whole test suite under ctest.
#   scripts/test.sh                 plain build (g++) in build/
#   scripts/test.sh address         clang with AddressSanitizer+UBSan in build-asan/
#   scripts/test.sh thread          clang with ThreadSanitizer in build-tsan/
# Extra arguments after the mode go to ctest (e.g. -R Protocol).
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-plain}"
shift || true

bash scripts/deps.sh

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
common=(-G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

case "$mode" in
  plain)
    dir=build
    cmake -S . -B "$dir" "${common[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ;;
  address)
    dir=build-asan
    cmake -S . -B "$dir" "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DQV_SANITIZE=address -DQV_BUILD_BENCH=OFF >/dev/null
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ;;
  thread)
    dir=build-tsan
    cmake -S . -B "$dir" "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DQV_SANITIZE=thread -DQV_BUILD_BENCH=OFF >/dev/null
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
    ;;
  *)
    echo "usage: scripts/test.sh [plain|address|thread] [ctest args...]" >&2
    exit 2
    ;;
esac

cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300 "$@"
