#!/usr/bin/env bash
# Builds the Debian package, has lintian and appstreamcli check it, unpacks it into a scratch
# root and checks what it holds: the two programs, desktop entry, icons, metainfo, man pages,
# licence and changelog, computed Qt dependencies, and that the unpacked quillon answers its
# command line and starts and leaves cleanly.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/quillon_*_amd64.deb)
[[ $(basename "$deb") =~ ^quillon_[0-9]+\.[0-9]+\.[0-9]+_amd64\.deb$ ]] || { echo "odd name: $deb"; exit 1; }
dpkg-deb -x "$deb" "$scratch/root"

# No lintian error; the warnings left are known and said in the README's packaging notes.
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
if grep -q '^E:' <<<"$lintian_out"; then
    echo "$lintian_out"
    exit 1
fi
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/org.quillon.Quillon.metainfo.xml" >/dev/null

for file in usr/bin/quillon usr/bin/quillon-sim \
    usr/share/applications/org.quillon.Quillon.desktop usr/share/metainfo/org.quillon.Quillon.metainfo.xml \
    usr/share/doc/quillon/copyright usr/share/doc/quillon/changelog.gz \
    usr/share/man/man1/quillon.1.gz usr/share/man/man1/quillon-sim.1.gz \
    usr/share/icons/hicolor/16x16/apps/quillon.png usr/share/icons/hicolor/32x32/apps/quillon.png \
    usr/share/icons/hicolor/48x48/apps/quillon.png usr/share/icons/hicolor/256x256/apps/quillon.png; do
    [[ -s "$scratch/root/$file" ]] || { echo "missing: $file"; exit 1; }
done
grep -qx 'Categories=Development;Electronics;' "$scratch/root/usr/share/applications/org.quillon.Quillon.desktop"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6serialport6 libqt6gui6 libqt6core6; do
    [[ "$depends" == *"$lib"* ]] || { echo "Depends lacks $lib: $depends"; exit 1; }
done
# Only the programs: no test or benchmark binaries.
[[ $(ls "$scratch/root/usr/bin" | wc -l) -eq 2 ]] || { ls "$scratch/root/usr/bin"; exit 1; }

"$scratch/root/usr/bin/quillon-sim" --version | grep -q '^quillon-sim '
# The command line answers without a display.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$scratch/root/usr/bin/quillon" --version | grep -qx 'quillon [0-9.]*'
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$scratch/root/usr/bin/quillon" --help | grep -q -- '--list-ports'
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM QUILLON_COM2=/dev/pts/77 "$scratch/root/usr/bin/quillon" --list-ports \
    | grep -q 'COM 2  /dev/pts/77  (from QUILLON_COM2)'
status=0
"$scratch/root/usr/bin/quillon" --no-such-option 2>/dev/null || status=$?
[[ $status -eq 2 ]] || { echo "an unknown option left with status $status"; exit 1; }
QT_QPA_PLATFORM=offscreen "$scratch/root/usr/bin/quillon" &
app=$!
sleep 1.5
kill -0 "$app" || { echo "quillon did not stay up"; exit 1; }
kill -TERM "$app"
status=0
wait "$app" || status=$?
[[ $status -eq 0 ]] || { echo "quillon left with status $status"; exit 1; }
echo "1 passed, 0 failed"
