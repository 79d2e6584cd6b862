#!/bin/bash
# Installs what is missing, builds the native and the Windows programs and runs
# every test: native with AddressSanitizer/UBSan, the concurrency suites with
# ThreadSanitizer, the lock annotations checked by clang (a build only), the
# fuzzers for a bounded time, the Windows build under Wine, and the packages
# (scripts/package.sh) with the installer under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
# One compiler cache for every build of this machine: a fresh clone builds
# from it what an earlier run (or another checkout) compiled the same way.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-20G}"
# Every stage compiles a target's sources in batches (CMake's unity build):
# the headers of GoogleTest, Asio and the standard library are read once per
# batch instead of once per file, which halves a stage's compile time. The
# presets themselves build file by file, so that a developer's build still
# finds a source that does not include what it uses.
unity=-DCMAKE_UNITY_BUILD=ON
started=$SECONDS
stage() { echo "== $1 (at $((SECONDS - started)) s)"; }

stage "native (AddressSanitizer, UBSan)"
cmake --preset debug "$unity" >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs" --no-tests=error --output-on-failure

stage "native (ThreadSanitizer, concurrency suites)"
cmake --preset tsan "$unity" >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs" --no-tests=error --output-on-failure

stage "lock annotations (clang -Wthread-safety -Werror, build only)"
cmake --preset thread-safety "$unity" >/dev/null
cmake --build --preset thread-safety -j "$jobs"

# Each fuzzer runs for a fixed time, side by side, while the Windows build
# (next) compiles: neither's result depends on how fast it ran.
stage "fuzzers"
cmake --preset fuzz "$unity" >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz -j 8 --no-tests=error --output-on-failure > build/fuzz/fuzz-run.log 2>&1 &
fuzzing=$!

stage "Windows (mingw-w64, under Wine)"
cmake --preset win64 "$unity" >/dev/null
cmake --build --preset win64 -j "$jobs"
fuzzed=0
wait "$fuzzing" || fuzzed=$?
echo "-- the fuzzers' run"
cat build/fuzz/fuzz-run.log
[ "$fuzzed" -eq 0 ] || exit "$fuzzed"
export WINEPREFIX="$PWD/build/win64/wineprefix" WINEDEBUG=-all
build/win64/wine-run.sh cmd /c exit >/dev/null 2>&1 || true   # creates the prefix once
# Then one server for the whole run. The server that program started leaves
# 3 s after the last program ends (a later "-p" does not change that), and a
# test starting just then loses its connection ("wine client error ...
# Connection reset by peer") and fails at once. So that server is let go (it
# writes the prefix's registry as it leaves), a persistent one takes over, and
# a first program boots the prefix's services under it before the tests.
wineserver -w >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
build/win64/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
ctest --preset win64 -j "$jobs" --no-tests=error --output-on-failure

stage "packages (the Debian package; the Windows installer under Wine)"
JOBS=$jobs bash scripts/package.sh
bash tests/packaging/deb_test.sh
bash tests/packaging/windows_installer_test.sh
echo "== all passed in $((SECONDS - started)) s"
