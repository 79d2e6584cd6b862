#!/bin/bash
# Builds the release programs for Windows and Linux and writes to dist/ what is
# handed out: the Windows installer and zip, the Debian package and SHA256SUMS.
# The debug information of every binary is split off into dist/debug/ (kept
# with the release to resolve crash addresses, not handed out).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
bash scripts/install-deps.sh --package
jobs=${JOBS:-$(nproc)}

flags() { dpkg-buildflags --get "$1"; }
# Both compile their sources in batches (CMake's unity build): a crash address
# still resolves to the line of its own source file (tests/packaging/deb_test.sh).
echo "== Linux release"
cmake --preset dist-linux -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_C_FLAGS="-g $(flags CPPFLAGS) $(flags CFLAGS)" \
  -DCMAKE_CXX_FLAGS="-g $(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build --preset dist-linux -j "$jobs" --target Brenvic
echo "== Windows release"
cmake --preset dist-win64 -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build --preset dist-win64 -j "$jobs" --target Brenvic

version=$(cat build/dist-linux/version.txt)
if [ "$version" != "$(cat build/dist-win64/version.txt)" ]; then
  echo "the two builds carry different versions" >&2
  exit 1
fi

stage=$src/build/dist-stage
rm -rf dist "$stage"
mkdir -p dist/debug/linux dist/debug/win64 "$stage/linux" "$stage/win64"

# Copies a binary stripped into the stage and its debug information into dist/debug,
# the two tied by a debug link: TOOL_PREFIX FROM STAGE_DIR DEBUG_DIR STRIP_OPTION
split_debug() {
  local name
  name=$(basename "$2")
  "${1}objcopy" --only-keep-debug "$2" "$4/$name.debug"
  "${1}strip" "$5" --remove-section=.comment --remove-section=.note -o "$3/$name" "$2"
  "${1}objcopy" --add-gnu-debuglink="$4/$name.debug" "$3/$name"
}
linux=build/dist-linux/bin win=build/dist-win64/bin
split_debug "" "$linux/Brenvic" "$stage/linux" dist/debug/linux --strip-all
split_debug x86_64-w64-mingw32- "$win/Brenvic.exe" "$stage/win64" dist/debug/win64 --strip-all
for lib in srv_TAVEK_TPKT_Transport LogClient; do
  split_debug "" "$linux/$lib.so" "$stage/linux" dist/debug/linux --strip-unneeded
  split_debug x86_64-w64-mingw32- "$win/$lib.dll" "$stage/win64" dist/debug/win64 --strip-unneeded
done

echo "== Windows zip and installer"
cp README.md "$stage/win64/"
(cd "$stage/win64" && zip -q -X -9 "$src/dist/Brenvic-$version-win64.zip" \
  Brenvic.exe srv_TAVEK_TPKT_Transport.dll LogClient.dll README.md)
makensis -V2 -DVERSION="$version" -DBINDIR="$stage/win64" -DREADME="$src/README.md" \
  -DOUTFILE="$src/dist/Brenvic-$version-win64-setup.exe" packaging/windows/brenvic.nsi

echo "== Debian package"
# The program in a folder of its own; its configuration and log folder, where
# Debian keeps them, appear beside it.
root=$stage/deb
lib=$root/usr/lib/brenvic doc=$root/usr/share/doc/brenvic
install -d "$lib" "$root/lib/systemd/system" "$doc" "$root/DEBIAN"
# The configuration may hold SRTP keys, or a key file beside it: root's only.
install -d -m 0750 "$root/etc/brenvic"
install -m 0755 "$stage/linux/Brenvic" "$lib/"
install -m 0644 "$stage/linux/srv_TAVEK_TPKT_Transport.so" "$stage/linux/LogClient.so" "$lib/"
ln -s /etc/brenvic/Brenvic.ini "$lib/Brenvic.ini"
ln -s /var/log/brenvic "$lib/Logs"
install -m 0644 src/config/Brenvic.ini "$root/etc/brenvic/Brenvic.ini"
install -m 0644 packaging/debian/Vantelo.service "$root/lib/systemd/system/"
install -m 0644 packaging/debian/copyright "$doc/"
gzip -9n < README.md > "$doc/README.md.gz"
date=$(date -R -u -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")
sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$date/" packaging/debian/changelog.in | gzip -9n > "$doc/changelog.gz"
chmod 0644 "$doc"/*

# The libraries the binaries need, from the packages that ship them.
mkdir -p "$stage/shlibs/debian"
printf 'Source: brenvic\n\nPackage: brenvic\nArchitecture: amd64\n' > "$stage/shlibs/debian/control"
depends=$(cd "$stage/shlibs" && dpkg-shlibdeps -O "$lib/Brenvic" "$lib/srv_TAVEK_TPKT_Transport.so" \
  "$lib/LogClient.so" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  packaging/debian/control.in > "$root/DEBIAN/control"
install -m 0644 packaging/debian/conffiles "$root/DEBIAN/"
install -m 0755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm "$root/DEBIAN/"
(cd "$root" && find . -path ./DEBIAN -prune -o -path ./etc -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum > DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$root" "dist/brenvic_${version}_amd64.deb" >/dev/null

(cd dist && sha256sum "Brenvic-$version-win64-setup.exe" "Brenvic-$version-win64.zip" \
  "brenvic_${version}_amd64.deb" > SHA256SUMS)
echo "== dist/"
(cd dist && ls -l Brenvic-* brenvic_* SHA256SUMS && ls -l debug/*)
