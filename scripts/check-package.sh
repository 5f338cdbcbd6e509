#!/usr/bin/env bash
# Checks a Debian package of the programs without installing it into the machine: its
# declared dependencies resolve here, its files are where they belong, and its programs,
# unpacked with dpkg -x, run: httpget and mpget fetch from nginx on loopback, and the
# packaged updater and release tool do a whole update (scripts/demo.sh with them, console
# mode).
#   scripts/check-package.sh dist/updater-tools_1.0.0_amd64.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deb=${1:?usage: $0 PACKAGE.deb}
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

fail() { echo "package check: $*" >&2; exit 1; }
# A scratch folder ($work, removed on exit) and nginx on a free loopback port.
# shellcheck source=../bench/download_lib.sh
. "$top/bench/download_lib.sh"
bench_setup package-check 2
scratch=$work

echo "== package: $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "  Depends: $depends"
for needed in p7zip-full libnettle8 libx11-6 libxft2 libfontconfig1 libstdc++6; do
  tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$needed" || fail "Depends does not name $needed"
done
# apt resolves the dependencies as an install would, without installing anything.
apt-get install -s -qq --no-install-recommends "$deb" >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log" >&2; fail "the dependencies do not resolve"; }

root=$scratch/root
dpkg -x "$deb" "$root"
for f in usr/bin/updater usr/bin/repairtool usr/bin/httpget usr/bin/mpget usr/bin/updater-release \
         usr/share/man/man1/httpget.1 usr/share/man/man1/mpget.1 usr/share/man/man1/updater-release.1 \
         usr/share/doc/updater-tools/README.md usr/share/doc/updater-tools/THIRD-PARTY-NOTICES.md \
         usr/share/doc/updater-tools/licenses/fltk.txt; do
  [ -e "$root/$f" ] || fail "missing /$f"
done
# Nothing else: no tests, benchmarks or build leftovers.
unexpected=$(cd "$root" && find . -type f | grep -Ev '^\./usr/(bin|share/man/man1|share/doc/updater-tools)/' || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
echo "  files: $(cd "$root" && find . -type f | sort | tr '\n' ' ')"
for page in "$root"/usr/share/man/man1/*.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
# Every shared library the programs need is found.
for p in "$root"/usr/bin/*; do
  if ldd "$p" | grep -q "not found"; then fail "$(basename "$p"): $(ldd "$p" | grep 'not found')"; fi
done

bin=$root/usr/bin
for p in httpget mpget; do
  "$bin/$p" --version | grep -q "^$p " || fail "$p --version"
  "$bin/$p" --help | grep -q "^usage: $p" || fail "$p --help"
done

bench_nginx
"$bin/httpget" -o "$scratch/got1" "$url/big.bin" || fail "httpget exited $?"
cmp -s "$scratch/got1" "$scratch/html/big.bin" || fail "httpget's copy differs"
"$bin/mpget" --parts 3 "$url/big.bin" "$scratch/got2" >/dev/null || fail "mpget exited $?"
cmp -s "$scratch/got2" "$scratch/html/big.bin" || fail "mpget's copy differs"
echo "  httpget and mpget fetched $url/big.bin"
kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true
nginx_pid=""

# The packaged release tool packs and signs with the 7z tool of the declared dependency;
# the packaged updater unpacks with its 7-Zip library.
echo "== a whole update with the packaged updater and release tool"
DISPLAY= DEMO_UPDATER="$bin/updater" DEMO_RELEASE_TOOL="$bin/updater-release" \
  "$top/scripts/demo.sh" updater > "$scratch/demo.log" 2>&1 ||
  { cat "$scratch/demo.log" >&2; fail "the update failed"; }
grep -q "identical to the published package" "$scratch/demo.log" || { cat "$scratch/demo.log" >&2; fail "the package did not arrive"; }
grep -q "更新日期=20240301" "$scratch/demo.log" || { cat "$scratch/demo.log" >&2; fail "the update was not recorded"; }
echo "  updated the demo installation to 20240301"
echo "== package check passed"
