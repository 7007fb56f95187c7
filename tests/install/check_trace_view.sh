#!/usr/bin/env bash
# tests/install/check_trace_view.sh BUILD_DIR: the demo's run traced by the
# built manager, opened by scripts/trace-view in speedscope in headless
# Chromium: every engine's track and the manager's listed by name, the page
# without an error, and a picture of the slowest engine's track; a file it
# cannot read reported with the page's own words. Skipped
# (exit 77, saying why) when Chromium, node or npm cannot be had.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for program in node npm; do
  command -v "$program" >/dev/null || { echo "SKIP: $program is not installed (scripts/bootstrap installs npm)"; exit 77; }
done
[ -x "${CHROMIUM:-/usr/bin/chromium}" ] ||
  { echo "SKIP: ${CHROMIUM:-/usr/bin/chromium} is not installed (scripts/bootstrap installs chromium)"; exit 77; }

"$ROOT/scripts/write-demo" "$work/demo" "$build/bin"
VELMAR_PIPE_NAMESPACE="velmar-trace-view-$$-" QT_QPA_PLATFORM=offscreen \
  "$build/bin/velmar-manager" --settings "$work/demo/settings.ini" --trace "$work/run.trace.json" \
  --headless "$work/demo/metapopulation.vmgr" > "$work/out.txt" 2>&1 || fail "the demo run failed: $(tail -n 5 "$work/out.txt")"

status=0
VELMAR_TRACE_VIEW_DIR=$build/trace-view "$ROOT/scripts/trace-view" "$work/run.trace.json" "$work/south.png" south.vm \
  > "$work/tracks.txt" 2> "$work/errors.txt" || status=$?
if [ "$status" = 3 ]; then
  echo "SKIP: $(cat "$work/errors.txt")"
  exit 77
fi
[ "$status" = 0 ] || fail "trace-view exit status $status: $(cat "$work/errors.txt")"
[ ! -s "$work/errors.txt" ] || fail "the page logged: $(cat "$work/errors.txt")"
expected=$'Manager\nVelmar #0 (north.vm)\nVelmar #1 (valley.vm)\nVelmar #2 (south.vm)'
[ "$(cat "$work/tracks.txt")" = "$expected" ] || fail "tracks listed: $(cat "$work/tracks.txt")"
# A PNG of the page's size.
python3 - "$work/south.png" <<'PY' || fail "no picture of the page"
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
width, height = struct.unpack(">II", data[16:24])
assert (width, height) == (1400, 500), (width, height)
PY
# A file speedscope cannot read: the page's complaint, exit status 1, no picture.
echo 'not a trace {' > "$work/bad.json"
status=0
VELMAR_TRACE_VIEW_DIR=$build/trace-view "$ROOT/scripts/trace-view" "$work/bad.json" "$work/bad.png" \
  > /dev/null 2> "$work/errors.txt" || status=$?
[ "$status" = 1 ] || fail "an unreadable trace: exit status $status"
grep -q '^trace-view: the page said: Unrecognized format!' "$work/errors.txt" || fail "reported: $(cat "$work/errors.txt")"
[ ! -e "$work/bad.png" ] || fail "a picture of an unreadable trace"
echo "trace-view listed the four tracks and took the picture; an unreadable trace is reported"
