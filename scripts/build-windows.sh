#!/usr/bin/env bash
# Cross-builds the console, the simulator and the tests for Windows (x86_64)
# with MinGW-w64 on Debian 12, and packs build-windows/docentor-<version>-win64.zip
# and the installer build-windows/docentor-<version>-win64-setup.exe.
#   scripts/build-windows.sh [prefix]
# prefix: the Windows Qt and libjpeg-turbo, built by scripts/build-windows-deps.sh.
# Without it, ../shared/windows/deps.tar.xz beside the repository is unpacked
# into the build tree; without that, the recipe builds them (about 40 minutes).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-windows
jobs=${DOCENTOR_JOBS:-2}
mkdir -p "$out"

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          qt6-base-dev-tools cmake ninja-build pkgconf nsis wine64 zip librsvg2-bin python3
          fonts-dejavu-core)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_if_needed apt-get update -qq
    sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The libraries: a prefix given, else the shared archive unpacked here (the
# shared folder may be read-only), else made by the recipe.
deps=${1:-}
archive=$root/../shared/windows/deps.tar.xz
if [ -z "$deps" ]; then
    deps=$out/deps
    if [ -f "$archive" ]; then
        stamp=$(stat -c '%s %Y' "$archive")
        if [ "$(cat "$deps/.unpacked" 2>/dev/null)" != "$stamp" ]; then
            rm -rf "$deps" && mkdir -p "$deps"
            tar -C "$deps" -xJf "$archive"
            echo "$stamp" > "$deps/.unpacked"
        fi
    elif [ ! -f "$deps/.unpacked" ]; then
        rm -rf "$deps"
        sudo_if_needed "$root/scripts/build-windows-deps.sh" "$deps"
        echo recipe > "$deps/.unpacked"
    fi
fi
deps=$(cd "$deps" && pwd)
# The pkg-config files name the folder they were built in.
sed -i -E "s|^prefix=.*|prefix=$deps|; s|^exec_prefix=.*|exec_prefix=\${prefix}|;
           s|^libdir=.*|libdir=\${prefix}/lib|; s|^includedir=.*|includedir=\${prefix}/include|" \
    "$deps"/lib/pkgconfig/*.pc

tree=$out/tree
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig cmake -S "$root" -B "$tree" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$deps/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DCMAKE_PREFIX_PATH="$deps" "${launcher[@]}" >/dev/null
cmake --build "$tree" --parallel "$jobs"

version=$(sed -n 's/^project(Docentor VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=docentor-$version-win64
stage=$out/stage/$name
rm -rf "$out/stage" && mkdir -p "$stage/platforms" "$stage/styles"
cp "$tree/docentor.exe" "$tree/tools/agentsim/docentor-agentsim.exe" "$stage/"
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe
for dll in Qt6Core Qt6Gui Qt6Widgets Qt6Network; do cp "$deps/bin/$dll.dll" "$stage/"; done
cp "$deps/bin/libjpeg-62.dll" "$stage/"
# The window system's platform, and the off-screen one the simulator draws on.
cp "$deps/plugins/platforms/qwindows.dll" "$deps/plugins/platforms/qoffscreen.dll" "$stage/platforms/"
cp "$deps"/plugins/styles/*.dll "$stage/styles/"
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
cp "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$stage/"

# Every DLL a program or plugin imports is beside it or part of Windows.
mapfile -t imports < <(find "$stage" -name '*.exe' -o -name '*.dll' | xargs -n1 x86_64-w64-mingw32-objdump -p |
    sed -n 's/^\s*DLL Name: //p' | sort -u)
for dll in "${imports[@]}"; do
    if [ ! -f "$stage/$dll" ] && ! [[ ${dll,,} =~ ^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|ws2_32|msvcrt|winmm|comdlg32|imm32|dwmapi|uxtheme|version|netapi32|userenv|mpr|iphlpapi|dnsapi|crypt32|bcrypt|secur32|setupapi|shlwapi|winspool\.drv|d3d9|d3d11|dxgi|dwrite|d2d1|authz|wtsapi32|opengl32|shcore|winhttp|api-ms-win-.*)\.dll$ ]]; then
        echo "build-windows.sh: $dll is imported but not packed" >&2
        exit 1
    fi
done

# The icon, from the drawing the Linux package uses.
for size in 16 32 48 256; do
    rsvg-convert -w $size -h $size "$root/packaging/docentor.svg" -o "$out/stage/icon-$size.png"
done
python3 "$root/packaging/windows/makeico.py" "$stage/docentor.ico" "$out"/stage/icon-{16,32,48,256}.png

rm -f "$out/$name.zip"
(cd "$out/stage" && zip -qr9 "$out/$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$name-setup.exe" \
    "$root/packaging/windows/docentor.nsi"
echo "build-windows.sh: $(du -h "$out/$name.zip" | cut -f1) $out/$name.zip"
echo "build-windows.sh: $(du -h "$out/$name-setup.exe" | cut -f1) $out/$name-setup.exe"
