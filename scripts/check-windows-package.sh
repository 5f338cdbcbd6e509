#!/usr/bin/env bash
# Checks the zip of the Windows programs: exactly the files a vendor ships, and, unpacked
# into a folder of their own and run under Wine, the programs work from there: httpget and
# mpget fetch from nginx on loopback, and the release tool makes a signed release with the
# 7-Zip programs beside it (7z.exe packs, 7z.dll reads the manifest back).
#   scripts/check-windows-package.sh dist/updater-tools-1.0.0-win64.zip
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
zip=${1:?usage: $0 PACKAGE.zip}
zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")

fail() { echo "package check: $*" >&2; exit 1; }
# shellcheck source=../bench/download_lib.sh
. "$top/bench/download_lib.sh"
bench_setup windows-package-check 2
scratch=$work

echo "== package: $(basename "$zip")"
folder=$(basename "$zip" .zip)
expected="7z.dll 7z.exe README.md THIRD-PARTY-NOTICES.md httpget.exe licenses/7-zip.txt
licenses/mingw-w64.txt licenses/nettle.txt mpget.exe repairtool.exe updater-release.exe updater.exe"
listed=$(unzip -Z1 "$zip" | grep -v '/$' | sed "s|^$folder/||" | sort | tr '\n' ' ')
[ "$listed" = "$(tr '\n' ' ' <<<"$expected" | tr -s ' ' '\n' | sort | tr '\n' ' ')" ] ||
  fail "the zip holds: $listed"
echo "  files: $listed"
unzip -q "$zip" -d "$scratch"
dir=$scratch/$folder

# shellcheck source=wine-env.sh
source "$top/scripts/wine-env.sh"
trap '/usr/lib/wine/wineserver64 -k 2>/dev/null || true; bench_cleanup' EXIT
run() { DISPLAY= "$WINE64" "$@" </dev/null; }
for p in httpget mpget; do
  run "$dir/$p.exe" --version | grep -q "^$p " || fail "$p.exe --version"
  run "$dir/$p.exe" --help | grep -q "^usage: $p" || fail "$p.exe --help"
done

bench_nginx
run "$dir/httpget.exe" -o "$scratch/got1" "$url/big.bin" >/dev/null || fail "httpget.exe exited $?"
cmp -s "$scratch/got1" "$scratch/html/big.bin" || fail "httpget.exe's copy differs"
run "$dir/mpget.exe" --parts 3 "$url/big.bin" "$scratch/got2" >/dev/null || fail "mpget.exe exited $?"
cmp -s "$scratch/got2" "$scratch/html/big.bin" || fail "mpget.exe's copy differs"
echo "  httpget.exe and mpget.exe fetched $url/big.bin"

echo "== a signed release with the packaged release tool"
release=$scratch/release
mkdir -p "$release/bin"
echo "版本 20240301" >"$release/readme.txt"
head -c 100000 /dev/urandom >"$release/bin/app.dat"
tool=$dir/updater-release.exe
run "$tool" keygen "$scratch/vendor.key" >"$scratch/keygen.log" || { cat "$scratch/keygen.log" >&2; fail "keygen"; }
run "$tool" pack "$release" --date 20240301 --output "$scratch/rjsj.7z" >"$scratch/pack.log" ||
  { cat "$scratch/pack.log" >&2; fail "pack"; }
run "$tool" sign "$scratch/rjsj.7z" --category rjsj --date 20240301 --key "$scratch/vendor.key" \
  >"$scratch/sign.log" || { cat "$scratch/sign.log" >&2; fail "sign"; }
mkdir -p "$scratch/site"
run "$tool" publish "$scratch/rjsj.7z" "$scratch/rjsj.sig" "$scratch/site" >"$scratch/publish.log" ||
  { cat "$scratch/publish.log" >&2; fail "publish"; }
run "$tool" verify "$scratch/site" --category rjsj --key "$scratch/vendor.key" >"$scratch/verify.log" ||
  { cat "$scratch/verify.log" >&2; fail "verify"; }
# What 7z.exe packed is the release, byte for byte.
7z x -y -o"$scratch/unpacked" "$scratch/rjsj.7z" >/dev/null
cmp -s "$scratch/unpacked/bin/app.dat" "$release/bin/app.dat" || fail "the package does not hold the release"
echo "  packed, signed, published and verified rjsj 20240301"
echo "== windows package check passed"
