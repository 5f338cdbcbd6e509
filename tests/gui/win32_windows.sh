#!/usr/bin/env bash
# Runs the windowed cases of the Windows gui tests under Wine on a virtual display: the
# Windows test run itself has none, and without one Wine makes only message-only windows.
# They run on a Wine desktop of their own: a Wine server started without a display keeps
# its default desktop headless. The desktop does not pass the exit status on, so the
# verdict comes from the XML report.
# Usage: win32_windows.sh GUI_TESTS_EXE. Exit 77 (skipped) when Xvfb is missing.
set -euo pipefail
exe=$1
for program in xvfb-run Xvfb; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "skipped: $program is not installed, no virtual display for the windowed cases"
    exit 77
  fi
done
wine=${WINE64:-/usr/lib/wine/wine64}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
xvfb-run -a -s '-screen 0 1024x768x24' "$wine" explorer "/desktop=guitests$$,1024x768" "$exe" \
  --gtest_filter='Win32Windows.*' --gtest_output="xml:Z:$out/result.xml" || true
report=$out/result.xml
if [ ! -f "$report" ]; then
  echo "FAILED: the test program left no report"
  exit 1
fi
summary=$(grep -m1 '<testsuites ' "$report")
if ! grep -q 'failures="0"' <<<"$summary" || ! grep -q 'errors="0"' <<<"$summary" ||
   grep -q '<skipped' "$report" || ! grep -q '<testcase ' "$report"; then
  echo "FAILED: $summary"
  exit 1
fi
