#!/usr/bin/env bash
# The newcomer's way in: what scripts/install-deps tells a user who may not install packages,
# and how scripts/configure treats a build directory made by someone else and changed flags.
# Run as root it checks as the unprivileged user `nobody`, as a newcomer would be.
set -euo pipefail
# The outer make's command-line settings (CI's BUILD_DIR=build-ci) reach here through the
# environment; the makes under test must see only their own.
unset BUILD_DIR BUILD_TYPE CMAKE_FLAGS ASAN_BUILD_DIR PREFIX
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
as_user=()
[[ $(id -u) -eq 0 ]] && as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
failed=0
fail() { echo "FAIL: $*"; failed=1; }
# `nobody` may not enter every clone (one under /root is 0700): it runs copies of the scripts.
mkdir "$scratch/scripts"
cp "$source_dir/scripts/install-deps" "$source_dir/scripts/configure" "$scratch/scripts/"

# A machine with none of the packages and no sudo rights: dpkg-query knows nothing, sudo refuses.
mkdir "$scratch/bin"
printf '#!/bin/sh\necho -n "unknown ok not-installed"\n' >"$scratch/bin/dpkg-query"
printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/sudo"
# Nothing here may reach the real package manager.
printf '#!/bin/sh\necho "apt-get was called" >&2\nexit 1\n' >"$scratch/bin/apt-get"
chmod 755 "$scratch/bin" "$scratch/bin"/*
for asked in demo run "fuzz" "test"; do
    status=0
    # shellcheck disable=SC2086 # one target or several
    said=$(cd "$scratch" && "${as_user[@]}" env PATH="$scratch/bin:/usr/bin:/bin" \
        "$scratch/scripts/install-deps" $asked 2>&1) || status=$?
    [[ $status -eq 1 ]] || fail "install-deps $asked left with $status"
    list=$(grep -m1 'sudo apt-get install' <<<"$said" || true)
    # One list for everything a newcomer runs next, whatever was asked first.
    for pkg in qt6-base-dev cmake lintian appstream dpkg-dev ccache; do
        [[ " $list " == *" $pkg "* ]] || fail "install-deps $asked: the list lacks $pkg: $list"
    done
    [[ "$asked" != fuzz || " $list " == *" clang "* ]] || fail "install-deps fuzz: no clang: $list"
    grep -q '^install-deps: that covers make run, demo, test, package' <<<"$said" \
        || fail "install-deps $asked does not say what its list covers: $said"
done

# scripts/configure on a small project of its own, so that its logic runs against real cmake.
project="$scratch/project"
mkdir "$project"
printf 'cmake_minimum_required(VERSION 3.21)\nproject(probe NONE)\nmessage(STATUS "flag=${FLAG}")\n' \
    >"$project/CMakeLists.txt"
chmod -R a+rwX "$project"
configure() { (cd "$project" && "${as_user[@]}" env PATH=/usr/bin:/bin "$scratch/scripts/configure" "$@" 2>&1); }
out=$(configure build Release) || fail "first configure failed: $out"
[[ "$out" == *"flag="* ]] || fail "cmake did not run: $out"
out=$(configure build Release) || fail "second configure failed: $out"
[[ -z "$out" ]] || fail "configuring again with the same settings said: $out"
out=$(configure build Release -DFLAG=on) || fail "configure with a flag failed: $out"
[[ "$out" == *'applying "Release -DFLAG=on"'* && "$out" == *"flag=on"* ]] \
    || fail "a new flag was not applied: $out"
out=$(configure build Release) || fail "configure without the flag failed: $out"
[[ "$out" == *"-D settings given before stay"* ]] || fail "dropping a flag was not explained: $out"

# A build directory with a file of another user (an earlier "sudo make") is refused at once.
if [[ ${#as_user[@]} -gt 0 ]]; then
    touch "$project/build/left-by-root"
    status=0
    out=$(configure build Release) || status=$?
    [[ $status -eq 1 && "$out" == *"sudo chown -R nobody: build"* ]] \
        || fail "a root-owned file in build/ gave status $status: $out"
fi

# Root in a user's clone ("sudo make"): what make builds belongs to the clone's owner. And
# without a display, make demo stops before it installs or builds anything.
if [[ ${#as_user[@]} -gt 0 ]]; then
    # Run from make (make test BUILD_DIR=...), the outer make's variables reach this one through
    # the environment; the make under test gets its own.
    unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES
    settings=(BUILD_DIR=build CMAKE_FLAGS= BUILD_TYPE=Release)
    clone="$scratch/clone"
    mkdir -p "$clone/scripts"
    cp "$source_dir/Makefile" "$clone/"
    cp "$source_dir/scripts/configure" "$source_dir/scripts/install-deps" "$source_dir/scripts/demo" "$clone/scripts/"
    cp "$project/CMakeLists.txt" "$clone/"
    chown -R nobody:nogroup "$clone"
    out=$(cd "$clone" && SUDO_USER=nobody make configure "${settings[@]}" 2>&1) || fail "make configure as root failed: $out"
    [[ -f "$clone/build/CMakeCache.txt" ]] || fail "make configure as root made no build: $out"
    foreign=$(find "$clone" ! -user nobody)
    [[ -z "$foreign" ]] || fail "root's make left files the owner does not own: $foreign"
    rm -rf "$clone/build"
    status=0
    out=$(cd "$clone" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        PATH="$scratch/bin:/usr/bin:/bin:/usr/sbin:/sbin" make demo "${settings[@]}" 2>&1) || status=$?
    [[ $status -ne 0 && "$out" == *"no display"* && ! -e "$clone/build" && "$out" != *install-deps:* ]] \
        || fail "make demo without a display: status $status, build made: $([[ -e $clone/build ]] && echo yes), said: $out"
fi

# make install: ~/.local or PREFIX, a word on PATH; uninstall, though the package installed since.
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES
clone="$scratch/install" bin="$scratch/home/.local/bin"
mkdir -p "$clone/scripts" "$scratch/home" && cp "$source_dir/Makefile" "$clone/"
cp "$source_dir/scripts/configure" "$source_dir/scripts/install-deps" "$clone/scripts/"
printf 'cmake_minimum_required(VERSION 3.21)\nproject(probe NONE)\ninstall(PROGRAMS Makefile DESTINATION bin RENAME quillon)
foreach(t quillon quillon-sim manpages debian_changelog)\nadd_custom_target(${t})\nendforeach()\n' >"$clone/CMakeLists.txt"
[[ ${#as_user[@]} -eq 0 ]] || chown -R nobody:nogroup "$clone" "$scratch/home"
in_clone() { (cd "$clone" && "${as_user[@]}" env HOME="$scratch/home" PATH="$1" "${@:2}" 2>&1); }
out=$(in_clone /usr/bin:/bin make install) && [[ -x "$bin/quillon" && "$out" == *$'log in again. For this shell:\n    export PATH="'"$bin"':$PATH"'* ]] \
    || fail "make install put nothing in ~/.local/bin or said nothing of PATH: $out"
out=$(in_clone "$bin:/usr/bin:/bin" make install) && [[ "$out" != *"not on your PATH"* ]] || fail "bin/ on PATH: $out"
out=$(in_clone /usr/bin:/bin cmake --install build --prefix "$clone/package") || fail "cmake --install: $out"
out=$(in_clone /usr/bin:/bin make uninstall) && [[ ! -e "$bin/quillon" ]] || fail "make uninstall left it: $out"
if [[ ${#as_user[@]} -gt 0 ]]; then
    out=$(cd "$clone" && SUDO_USER=nobody make install PREFIX="$scratch/usr" 2>&1) || fail "as root: $out"
    [[ -x "$scratch/usr/bin/quillon" && -z $(find "$clone" ! -user nobody) ]] || fail "make install as root: $out"
fi

[[ $failed -eq 0 ]] && echo "1 passed, 0 failed" || exit 1
