#!/bin/sh
# nodev.sh COMMAND... - runs COMMAND with a /dev that holds no serial
# devices.  Started under "unshare --mount", so the changed /dev is seen by
# COMMAND and its children only.  Wine's mount manager then finds exactly
# the COM ports named in HKLM\Software\Wine\Ports and no /dev/ttyS*.
set -e
mount --make-rprivate /
D=$(mktemp -d /tmp/nodev.XXXXXX)
mount -t tmpfs -o mode=755 tmpfs "$D"
for n in null zero full random urandom tty ptmx; do
    if [ -e "/dev/$n" ]; then touch "$D/$n"; mount --bind "/dev/$n" "$D/$n"; fi
done
for d in shm pts mqueue; do
    if [ -d "/dev/$d" ]; then mkdir "$D/$d"; mount --rbind "/dev/$d" "$D/$d"; fi
done
ln -s /proc/self/fd "$D/fd"
ln -s /proc/self/fd/0 "$D/stdin"
ln -s /proc/self/fd/1 "$D/stdout"
ln -s /proc/self/fd/2 "$D/stderr"
mount --move "$D" /dev
rmdir "$D" 2>/dev/null || true
exec "$@"
