#!/usr/bin/env bash
# The README's promise on a machine that has nothing else: a minimal Debian
# root (debootstrap, cached outside the clone after the first run) with only
# python3 and make, a clone of this checkout's HEAD inside it, and there
# `make test` and `make demo` as a new user runs them: Debian's python3,
# PATH=/usr/local/bin:/usr/bin:/bin, nothing installed beforehand.
#   tools/clean_room.sh [bookworm|trixie]      (Debian 12, the default, or 13)
# Needs root. The machine's own certificate bundle and pip settings go in
# with it: they are the machine's way to the registries, not the project's.
set -euo pipefail
SUITE=${1:-bookworm}
CACHE=${VESSIK_CACHE:-/var/cache/vessik}
TARBALL=$CACHE/root-$SUITE.tar
ROOTFS=/var/tmp/vessik-clean-room-$SUITE
CLONE=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$CACHE"
command -v debootstrap > /dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap

cleanup() {
  for m in dev/shm dev/pts dev proc sys; do umount -l "$ROOTFS/$m" 2> /dev/null || true; done
}
trap cleanup EXIT
cleanup
rm -rf "$ROOTFS"
if [ ! -f "$TARBALL" ]; then
  debootstrap --variant=minbase --include=python3,make,ca-certificates "$SUITE" "$ROOTFS" http://deb.debian.org/debian
  tar -C "$ROOTFS" -cf "$TARBALL.part" . && mv "$TARBALL.part" "$TARBALL"
else
  mkdir -p "$ROOTFS" && tar -C "$ROOTFS" -xf "$TARBALL"
fi
cp /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
cp /etc/ssl/certs/ca-certificates.crt "$ROOTFS/etc/ssl/certs/ca-certificates.crt"
mount -t proc proc "$ROOTFS/proc"
mount -t sysfs sys "$ROOTFS/sys"
mount --bind /dev "$ROOTFS/dev"
mount --bind /dev/pts "$ROOTFS/dev/pts"
mount -t tmpfs shm "$ROOTFS/dev/shm"
git clone -q "$CLONE" "$ROOTFS/root/vessik"

echo "== $SUITE: $(chroot "$ROOTFS" python3 --version), nothing else installed"
chroot "$ROOTFS" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/local/bin:/usr/bin:/bin \
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DEFAULT_TIMEOUT=180 \
  sh -c 'cd /root/vessik && make test && make demo'
echo "== $SUITE: make test and make demo passed in a clean root"
