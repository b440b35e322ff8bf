#!/bin/sh
# Runs a command in a user, network, mount and process namespace of its own, as root of it,
# whoever runs it: a portmapper there may take port 111 and its socket in /run, nothing reaches
# the machine's network or its own portmapper, and whatever the command started ends with it,
# however it ends. The namespace has the loopback, and a veth pair on
# a documentation network (192.0.2.1/24, with a broadcast address) for discovery by broadcast;
# its /etc/passwd gives rpcbind's account the namespace's root, the one user mapped in it.
#   tests/share/netns.sh COMMAND [ARGUMENT]...
set -eu
if [ "${QUILLON_NETNS:-}" != inside ]; then
    QUILLON_NETNS=inside exec unshare --user --map-root-user --net --mount --pid --fork --mount-proc -- "$0" "$@"
fi
mount -t tmpfs -o mode=0755 quillon-run /run
sed 's/^_rpc:[^:]*:[^:]*:[^:]*:/_rpc:x:0:0:/' /etc/passwd >/run/passwd
mount --bind /run/passwd /etc/passwd
# Serial ports are locked in /run/lock, as on the machine.
mkdir -m 1777 /run/lock
ip link set lo up
ip link add q0 type veth peer name q1
ip addr add 192.0.2.1/24 broadcast 192.0.2.255 dev q0
ip link set q1 up
ip link set q0 up
exec "$@"
