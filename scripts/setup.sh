#!/usr/bin/env bash
# Installs what building and testing need, only when it is missing, and builds the
# Windows-side dependencies (libpng for mingw) into the build folder's cache.
# Safe to run again: every step checks first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
deps=$build/deps

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev python3
  mingw-w64 g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils imagemagick locales fontconfig fonts-ipafont-gothic fonts-wine
  cabextract p7zip-full gcab osslsigncode libmspack-dev msitools wimtools
  libboost-dev googletest libpng-dev zlib1g-dev openssl dpkg-dev iproute2 xz-utils gzip zstd
  tzdata
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Japanese runs need the glibc locale; Wine picks resource languages from it.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || true
fi

mkdir -p "$deps"

# Boost is reached by mingw through a folder that holds only the boost headers.
if [ ! -e "$deps/boost-include/boost" ]; then
  mkdir -p "$deps/boost-include"
  ln -sfn /usr/include/boost "$deps/boost-include/boost"
fi

# libpng 1.6 for mingw, from Debian's source package.
if [ ! -f "$deps/mingw/lib/libpng16.a" ] && [ ! -f "$deps/mingw/lib/libpng.a" ]; then
  if ! ls /etc/apt/sources.list.d/*deb-src* >/dev/null 2>&1; then
    cat > /etc/apt/sources.list.d/deb-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update -qq
  fi
  rm -rf "$deps/src" && mkdir -p "$deps/src"
  (
    cd "$deps/src"
    ok=0
    if apt-get source -qq --download-only libpng1.6 >/dev/null 2>&1; then ok=1; else
      # The newest version listed may be missing from the mirror; try the others.
      for v in $(apt-cache showsrc libpng1.6 | awk '/^Version:/{print $2}'); do
        if apt-get source -qq --download-only "libpng1.6=$v" >/dev/null 2>&1; then ok=1; break; fi
      done
    fi
    [ $ok = 1 ] || { echo "setup: cannot fetch the libpng1.6 source package" >&2; exit 1; }
    tar xf libpng1.6_*.orig.tar.* 
  )
  src=$(find "$deps/src" -maxdepth 1 -type d -name 'libpng-1.6*' | head -1)
  cmake -S "$src" -B "$deps/libpng-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps/mingw" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
    -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_TOOLS=OFF -DSKIP_INSTALL_PROGRAMS=ON >/dev/null
  cmake --build "$deps/libpng-build" >/dev/null
  cmake --install "$deps/libpng-build" >/dev/null
  rm -rf "$deps/libpng-build" "$deps/src"
fi
echo "setup: ready"
