#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds a static Qt 6.4.2 (qtbase: Core, Gui, Widgets, Network, Test; platform plugins windows
# and offscreen) for 64-bit Windows with Debian's mingw-w64 cross compiler, from Debian 12's own
# qt6-base source package, and packs it as <prefix name>.tar.xz (qt-6.4.2-mingw64-static-net).
# Host tools (moc, rcc, uic) come from Debian's qt6-base-dev of the same version.
# About 40 minutes on 2 cores. Usage: build-qt-mingw.sh [WORKDIR] [PREFIX]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=${1:-/tmp/qt-mingw-build}
prefix=${2:-/opt/qt-6.4.2-mingw64-static-net}
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 qt6-base-dev qt6-base-dev-tools cmake ninja-build \
    dpkg-dev xz-utils >/dev/null
# Debian's source archive (deb-src) beside the binary one.
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Version: 6.4.2'; then
    uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" > /etc/apt/sources.list.d/quillon-src.sources
    apt-get update -qq
fi
mkdir -p "$work" && cd "$work"
[ -d qtbase-everywhere-src-6.4.2 ] || {
    apt-get source --download-only qt6-base=6.4.2+dfsg-10 >/dev/null
    tar xf qt6-base_6.4.2+dfsg.orig.tar.xz
    tar xf qt6-base_6.4.2+dfsg-10.debian.tar.xz
    (cd qtbase-everywhere-src-6.4.2 && while read -r p; do
        case "$p" in ''|\#*) continue;; esac
        patch -p1 -s < "../debian/patches/$p"; done < ../debian/patches/series
     # Qt 6.4.2 leaves dynamic GL on when OpenGL is off; the windows plugin then fails to build.
     sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
         src/plugins/platforms/windows/qwindowswindow.cpp)
}
cmake -S qtbase-everywhere-src-6.4.2 -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/x86_64-w64-mingw32.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF \
    -DFEATURE_zstd=OFF -DFEATURE_network=ON -DFEATURE_openssl=OFF -DFEATURE_schannel=OFF -DFEATURE_sctp=OFF -DFEATURE_libproxy=OFF -DFEATURE_gssapi=OFF -DFEATURE_brotli=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
    -DFEATURE_tabletevent=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF >configure.log
cmake --build build --parallel "$(nproc)"
cmake --install build >/dev/null
# Make the kit relocatable: Qt's toolchain file loads the MinGW one from beside itself.
cp "$here/x86_64-w64-mingw32.cmake" "$prefix/lib/cmake/Qt6/"
sed -i 's|^set(__qt_initially_configured_toolchain_file .*|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/x86_64-w64-mingw32.cmake")|' \
    "$prefix/lib/cmake/Qt6/qt.toolchain.cmake"
tar -C "$(dirname "$prefix")" -cJf "$work/$(basename "$prefix").tar.xz" "$(basename "$prefix")"
echo "$work/$(basename "$prefix").tar.xz"
