#!/usr/bin/env bash
# Builds a CPython that Debian 12 ships no binary of, from Debian's own source
# package, into a cache outside the clone (reused on later runs):
#   tools/build_cpython.sh 3.13t    free-threaded 3.13 (--disable-gil)
#   tools/build_cpython.sh 3.13     the same source with the GIL
#   tools/build_cpython.sh 3.13t-tsan  3.13t under ThreadSanitizer
# Prints the interpreter's path last. Needs root for apt the first time.
set -euo pipefail
FLAVOUR=${1:?usage: build_cpython.sh 3.13t|3.13|3.13t-tsan}
SUITE=${CPYTHON_SUITE:-trixie}
CACHE=${VESSIK_CACHE:-/var/cache/vessik}
PREFIX=$CACHE/cpython-$FLAVOUR
case "$FLAVOUR" in
  3.13t) SOURCE=python3.13; EXE=python3.13t; FLAGS=--disable-gil ;;
  3.13)  SOURCE=python3.13; EXE=python3.13; FLAGS= ;;
  3.13t-tsan) SOURCE=python3.13; EXE=python3.13t; FLAGS="--disable-gil --with-thread-sanitizer" ;;
  *) echo "unknown interpreter: $FLAVOUR" >&2; exit 2 ;;
esac
if [ -x "$PREFIX/bin/$EXE" ] && "$PREFIX/bin/$EXE" -c 'import ssl, ctypes, venv' 2>/dev/null; then
  echo "$PREFIX/bin/$EXE"; exit 0
fi

# Source lines only: the machine's binary packages stay those of its release.
LIST=/etc/apt/sources.list.d/vessik-$SUITE-src.sources
if [ ! -f "$LIST" ]; then
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$SUITE" > "$LIST"
fi
apt-get update -q >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -q dpkg-dev build-essential \
  libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev \
  libreadline-dev libncurses-dev uuid-dev libexpat1-dev >&2

WORK=$CACHE/src-$FLAVOUR
rm -rf "$WORK"; mkdir -p "$WORK"; cd "$WORK"
apt-get source -q --download-only "$SOURCE/$SUITE" >&2
dpkg-source -x --skip-patches ./*.dsc src >&2
cd src
./configure -q --prefix="$PREFIX" $FLAGS --with-ensurepip=install >&2
make -s -j"$(nproc)" >&2
make -s altinstall >&2
cd / && rm -rf "$WORK"
echo "$PREFIX/bin/$EXE"
