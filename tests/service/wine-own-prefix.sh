#!/bin/sh
# Runs a Windows program under Wine in a prefix created for this run alone and
# removed afterwards: what it registers with that prefix's service manager can
# neither outlive the run nor meet the other tests.
#
# The prefix is made by an ordinary first start (cmd /c exit) under a server that
# is already running: an explicit "wineboot -i" on an empty prefix can race the
# boot that the first process starts itself and leave two service managers, each
# with its own idea of which services exist.
base=$(mktemp -d "${TMPDIR:-/tmp}/brenvic-wine.XXXXXX") || exit 1
export WINEPREFIX="$base/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export BRENVIC_OWN_WINEPREFIX=1
cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$base"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1        # one server for the whole run
wine cmd /c exit >/dev/null 2>&1     # creates and boots the prefix
wine "$@"
exit $?
