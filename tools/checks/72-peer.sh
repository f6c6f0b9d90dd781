#!/usr/bin/env bash
# The full-size PEER verification cases that the test suite leaves out (tests/test_peer.py):
# cases 5, 6 and 7 on their 0.1 km fault grid and case 10 (an area source) on a 1 km grid, in two
# pytest processes side by side, about a minute each; case 10's curves are also computed in numpy
# on the expected values' 0.01 degree grid and on the product's own 1 km points. Case 11 (six depths, minutes of work) runs
# only by hand: GMMS_PEER_FULL=all /usr/bin/python3 -m pytest tests/test_peer.py.
set -uo pipefail
SECONDS=0
cd "$(dirname "$0")/../.."
export GMMS_PEER_FULL=1
run() { /usr/bin/python3 -m pytest -q tests/test_peer.py -k "$1"; }
run "full_size_mfd" &
first=$!
run "area and Case10" &
second=$!
status=0
wait "$first" || status=1
wait "$second" || status=1
echo "  [${SECONDS}s] PEER full-size cases" >&2
exit "$status"
