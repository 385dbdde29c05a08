#!/usr/bin/env bash
# Builds the Debian package build-package/docentor_<version>_amd64.deb and
# checks it without installing it: control data and files, lintian, the
# desktop entry and the AppStream data. Installs what this needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
DOCENTOR_WITH_PACKAGE=1 scripts/setup.sh

# Optimised, without sanitizers, with Debian's own compiler and linker flags
# and all its hardening; the binaries are stripped when installed.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DDOCENTOR_TESTS=OFF \
    -DDOCENTOR_PACKAGE=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}"
# Only what the package holds: the benchmarks are part of "all".
cmake --build build-package --target docentor agentsim package_data
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-package/CMakeCache.txt)
deb="build-package/docentor_${version}_amd64.deb"
rm -f build-package/docentor_*_amd64.deb
(cd build-package && cpack)

echo "== checking $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
answered=$(build-package/docentor --version)
packaged=$(dpkg-deb --field "$deb" Version)
if [ "$answered" != "docentor $packaged" ]; then
    echo "package version $packaged, but the program says: $answered" >&2
    exit 1
fi
lintian --fail-on error,warning --display-info "$deb"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb --extract "$deb" "$tree"
for path in usr/bin/docentor usr/bin/docentor-agentsim \
    usr/share/icons/hicolor/scalable/apps/docentor.svg \
    usr/share/icons/hicolor/48x48/apps/docentor.png \
    usr/share/man/man1/docentor.1.gz usr/share/man/man1/docentor-agentsim.1.gz \
    usr/share/doc/docentor/copyright; do
    if [ ! -e "$tree/$path" ]; then
        echo "missing from the package: /$path" >&2
        exit 1
    fi
done
desktop-file-validate "$tree"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$tree"/usr/share/metainfo/*.metainfo.xml
appstreamcli validate-tree --no-net "$tree"
echo "== $deb is sound"
