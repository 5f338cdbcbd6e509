#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test twice:
# a normal build and one with AddressSanitizer + UndefinedBehaviorSanitizer; then packages
# the normal build and checks the package; then runs every fuzz target for a few seconds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for kind in normal asan; do
  echo "== $kind build"
  "$top/scripts/build.sh" "$kind"
  dir="$top/build"; [ "$kind" = asan ] && dir="$top/build-asan"
  echo "== $kind tests"
  if ! ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"; then
    status=1
  fi
done
# The Debian package of the normal build: its dependencies, files and programs.
echo "== package"
if deb=$(PACKAGE_BUILD_DIR="$top/build" "$top/scripts/package.sh" | tail -n 1) &&
   "$top/scripts/check-package.sh" "$deb"; then
  :
else
  status=1
fi
# Every fuzz target briefly on its seed corpus: a parser regression shows here.
echo "== fuzz targets"
if ! "$top/scripts/fuzz.sh" all 5; then
  status=1
fi
# The Windows build and the tests that are meaningful there, under Wine in a Chinese
# locale (the INI tests run once more on an English system).
echo "== windows build"
if "$top/scripts/build.sh" windows; then
  echo "== windows tests"
  (
    # shellcheck source=scripts/wine-env.sh
    source "$top/scripts/wine-env.sh"
    trap 'for p in "$WINEPREFIX" "$WINE_DESKTOP_PREFIX"; do WINEPREFIX=$p /usr/lib/wine/wineserver64 -k 2>/dev/null || true; done' EXIT
    # A session's first programs may find no desktop yet ("Unable to create ... hidden
    # window", error 87): one program that makes a message window runs to its end first.
    for _ in 1 2 3 4 5; do
      DISPLAY= timeout 60 "$WINE64" "$top/build-windows/tests/platform/platform_tests.exe" \
        --gtest_filter=MessagesTest.PostedMessagesComeBackInOrderAndDispatchToTheSink >/dev/null 2>&1 && break
      sleep 1
    done
    DISPLAY= timeout 900 ctest --test-dir "$top/build-windows" --output-on-failure -j "$(nproc)"
  ) || status=1
  echo "== windows package"
  if zip=$("$top/scripts/package.sh" windows | tail -n 1) &&
     "$top/scripts/check-windows-package.sh" "$zip"; then
    :
  else
    status=1
  fi
else
  status=1
fi
[ $status -eq 0 ] && echo "== all tests passed"
exit $status
