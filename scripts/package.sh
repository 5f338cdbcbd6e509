#!/usr/bin/env bash
# Makes the Debian package of the programs in dist/ (CMake's install rules, CPack).
#   scripts/package.sh                 a Release build in build-package/
#   PACKAGE_BUILD_DIR=build scripts/package.sh
#                                      packages an existing build as it is configured
#   PACKAGE_CMAKE_ARGS="-DUPDATER_BASE_URL=http://updates.example.com/update/" scripts/package.sh
#                                      settings for a fresh build-package/ (the vendor's server)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"

dir=${PACKAGE_BUILD_DIR:-$top/build-package}
case "$dir" in /*) ;; *) dir=$top/$dir ;; esac
if [ ! -f "$dir/CPackConfig.cmake" ]; then
  # shellcheck disable=SC2086
  cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    ${PACKAGE_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"

mkdir -p "$top/dist"
rm -rf "$dir/cpack"
(cd "$dir" && cpack --config "$dir/CPackConfig.cmake" -G DEB -B "$dir/cpack" >/dev/null)
for deb in "$dir"/cpack/*.deb; do
  cp "$deb" "$top/dist/"
  echo "$top/dist/$(basename "$deb")"
done
