#!/usr/bin/env bash
# Makes the arm64 Debian root in which arm64 Wine runs the win-arm64
# configuration: Debian 12's own arm64 wine64, run through QEMU's qemu-aarch64
# inside a private namespace of each run (scripts/binfmt_namespace.py).
# Nothing is installed on the machine itself: the root is a folder of the
# cache (about 800 MB), made once per machine in about 5 minutes.
#
#   scripts/make-arm64-root.sh        make it unless a finished one is there
#
# Needs debootstrap and the cached qemu-aarch64 (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configurations.sh

root="$WRAPPER_ARM64_ROOT"
if wrapper_arm64_root_ready; then
  exit 0
fi
major="$(wrapper_qemu_major "$WRAPPER_QEMU_AARCH64")"
if [ -z "$major" ] || [ "$major" -lt "$WRAPPER_QEMU_MIN_MAJOR" ]; then
  echo "no QEMU >= $WRAPPER_QEMU_MIN_MAJOR qemu-aarch64 in $WRAPPER_CACHE (scripts/install-deps.sh fetches it)" >&2
  exit 1
fi
uri="$(wrapper_debian_archive)"
if [ -z "$uri" ]; then
  echo "no Debian archive in this machine's apt sources: cannot make the arm64 root" >&2
  exit 1
fi

work="$root.new"
rm -rf "$work"
mkdir -p "$(dirname "$root")"
echo "== making the arm64 Debian root with Wine in $root (about 5 minutes, once per machine)"
start=$SECONDS
debootstrap --arch=arm64 --variant=minbase --foreign bookworm "$work" "$uri" >"$work.log" 2>&1 ||
  { tail -n 20 "$work.log" >&2; exit 1; }
echo "   first stage done after $((SECONDS - start)) s"

# The second stage and the package installation run arm64 programs: inside
# the namespace, chrooted. container=lxc stops debootstrap from making device
# nodes, which a user namespace may not.
cp /etc/resolv.conf "$work/etc/resolv.conf"
inside=$(cat <<'EOF'
set -e
root="$1"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
container=lxc chroot "$root" /debootstrap/debootstrap --second-stage
echo "   second stage done"
chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive apt-get -q -o APT::Sandbox::User=root update
chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o APT::Sandbox::User=root \
  install --no-install-recommends wine64
chroot "$root" /usr/bin/env apt-get clean
EOF
)
/usr/bin/python3 scripts/binfmt_namespace.py --machine aarch64 "$WRAPPER_QEMU_AARCH64" \
  /bin/bash -c "$inside" inside "$work" >>"$work.log" 2>&1 ||
  { tail -n 30 "$work.log" >&2; exit 1; }
[ -x "$work/usr/lib/wine/wine64" ] || { echo "wine64 is missing from the arm64 root" >&2; exit 1; }
# QEMU finds absolute paths in the root first and on the machine otherwise:
# the server that Wine starts must be the root's arm64 one, never a script
# whose interpreter would start the machine's x86-64 server (which refuses
# arm64 clients).
ln -sf wineserver64 "$work/usr/lib/wine/wineserver"
ln -sf ../lib/wine/wineserver64 "$work/usr/bin/wineserver"
ln -sf ../lib/wine/wine64 "$work/usr/bin/wine"
echo "$WRAPPER_ARM64_ROOT_STAMP" >"$work/.wrapper-root"
rm -rf "$root"
mv "$work" "$root"
mv "$work.log" "$root.log"
echo "   arm64 root ready after $((SECONDS - start)) s ($(du -sh "$root" | cut -f1))"
