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

# lintian, pedantic tags and notes included, has nothing to say; the few overrides say why.
# It leaves a cache file (mldbm-elf-*) in its temporary directory: it is given the scratch.
lintian_out=$(TMPDIR=$scratch lintian --pedantic --display-info --tag-display-limit 0 "$deb" 2>&1 || true)
if grep -q '^[EWIPX]: ' <<<"$lintian_out"; then
    echo "$lintian_out"
    exit 1
fi
# Debian's hardening: position-independent, relocations read-only and bound at start, stack
# protector and fortified calls.
# (readelf's output is taken whole first: grep -q leaving early would fail the pipe.)
for program in quillon quillon-sim; do
    elf="$scratch/root/usr/bin/$program"
    header=$(readelf -h "$elf") segments=$(readelf -lW "$elf") dynamic=$(readelf -d "$elf")
    symbols=$(readelf --dyn-syms -W "$elf")
    [[ "$header" =~ Type:\ *DYN ]] || { echo "$program is not position-independent"; exit 1; }
    [[ "$segments" == *GNU_RELRO* ]] || { echo "$program lacks RELRO"; exit 1; }
    [[ "$dynamic" == *BIND_NOW* ]] || { echo "$program lacks BIND_NOW"; exit 1; }
    [[ "$symbols" == *__stack_chk_fail* ]] || { echo "$program lacks the stack protector"; exit 1; }
    [[ "$symbols" == *_chk@* ]] || { echo "$program is not fortified"; exit 1; }
done
[[ -s "$scratch/root/usr/share/lintian/overrides/quillon" ]] || { echo "missing: lintian overrides"; exit 1; }
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
# Without a desktop the installed program says so in one line and leaves with 2, never aborts.
status=0
errors=$(cd "$scratch" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$scratch/root/usr/bin/quillon" 2>&1) || status=$?
[[ $status -eq 2 && $(wc -l <<<"$errors") -eq 1 && "$errors" == *"needs a desktop session"* ]] \
    || { echo "without a display: status $status, said: $errors"; exit 1; }
QT_QPA_PLATFORM=offscreen "$scratch/root/usr/bin/quillon" &
app=$!
sleep 1.5
kill -0 "$app" || { echo "quillon did not stay up"; exit 1; }
kill -TERM "$app"
status=0
wait "$app" || status=$?
[[ $status -eq 0 ]] || { echo "quillon left with status $status"; exit 1; }
echo "1 passed, 0 failed"
