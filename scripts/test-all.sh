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

# The other stages' builds then run one after another in the background at the
# idle priority (SCHED_IDLE: they take only the processor time the tests leave),
# while each stage's tests run in the foreground once its build is done and the
# stage before has passed. A build's output is shown when its stage begins.
builds=build/stages
rm -rf "$builds"
mkdir -p "$builds"
(
  chrt --idle -p 0 "$BASHPID" >/dev/null
  for preset in tsan thread-safety fuzz win64; do
    if cmake --preset "$preset" "$unity" >"$builds/$preset.log" 2>&1 &&
       cmake --build --preset "$preset" -j "$jobs" >>"$builds/$preset.log" 2>&1; then
      touch "$builds/$preset.done"
    else
      exit 1
    fi
  done
  JOBS=$jobs bash scripts/package.sh >"$builds/packages.log" 2>&1 && touch "$builds/packages.done"
) &
building=$!
# On the way out (a stage failed) the builds still running go too.
# A process first (so that it starts nothing more), then what it had started.
stop() {
  local children child
  children=$(pgrep -P "$1" || true)
  kill "$1" 2>/dev/null || true
  for child in $children; do stop "$child"; done
}
cleanup() {
  stop "$building"
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
# Waits for the background build of a stage and shows its output; a failed
# build fails the run.
built() {
  while [ ! -e "$builds/$1.done" ] && kill -0 "$building" 2>/dev/null; do sleep 1; done
  cat "$builds/$1.log"
  [ -e "$builds/$1.done" ] || { echo "the build of $1 failed" >&2; exit 1; }
}

ctest --preset debug -j "$jobs" --no-tests=error --output-on-failure

stage "native (ThreadSanitizer, concurrency suites)"
built tsan
ctest --preset tsan -j "$jobs" --no-tests=error --output-on-failure

stage "lock annotations (clang -Wthread-safety -Werror, build only)"
built thread-safety

# Each fuzzer runs for a fixed time, side by side: its result does not depend
# on how fast it ran.
stage "fuzzers"
built fuzz
ctest --preset fuzz -j 8 --no-tests=error --output-on-failure

stage "Windows (mingw-w64, under Wine)"
built win64
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
build/win64/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
ctest --preset win64 -j "$jobs" --no-tests=error --output-on-failure

stage "packages (the Debian package; the Windows installer under Wine)"
built packages
bash tests/packaging/deb_test.sh
bash tests/packaging/windows_installer_test.sh
echo "== all passed in $((SECONDS - started)) s"
