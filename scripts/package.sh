#!/usr/bin/env bash
# Makes the packages of the programs in dist/ (CMake's install rules, CPack).
#   scripts/package.sh                 the Debian package of a Release build in build-package/
#   scripts/package.sh windows         the zip of the Windows programs with 7z.dll, from the
#                                      cross-build in build-windows/ (scripts/build.sh windows)
#   PACKAGE_BUILD_DIR=build scripts/package.sh
#                                      packages an existing build as it is configured
#   PACKAGE_CMAKE_ARGS="-DUPDATER_BASE_URL=http://updates.example.com/update/" scripts/package.sh
#                                      settings for a fresh build-package/ (the vendor's server)
# Prints the path of each package made.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-deb}
case "$kind" in deb|windows) ;; *) echo "usage: $0 [windows]" >&2; exit 2 ;; esac
"$top/scripts/deps.sh"

if [ "$kind" = windows ]; then
  "$top/scripts/build.sh" windows >&2
  dir=$top/build-windows
  generator=ZIP
else
  dir=${PACKAGE_BUILD_DIR:-$top/build-package}
  case "$dir" in /*) ;; *) dir=$top/$dir ;; esac
  if [ ! -f "$dir/CPackConfig.cmake" ]; then
    # shellcheck disable=SC2086
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
      ${PACKAGE_CMAKE_ARGS:-} >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)" >&2
  generator=DEB
fi

mkdir -p "$top/dist"
rm -rf "$dir/cpack"
(cd "$dir" && cpack --config "$dir/CPackConfig.cmake" -G "$generator" -B "$dir/cpack" >/dev/null)
for package in "$dir"/cpack/*.deb "$dir"/cpack/*.zip; do
  [ -f "$package" ] || continue
  cp "$package" "$top/dist/"
  echo "$top/dist/$(basename "$package")"
done
