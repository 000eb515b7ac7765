#!/bin/sh
# Installs what the 32-bit ARM hard-float (armhf) cross build needs on a
# Debian 12 x86-64 machine: the cross toolchain, qemu user-mode emulation to
# run the armhf test binaries (called explicitly, no binfmt registration),
# the armhf C and C++ run time they run on, and the armhf builds of the
# libraries the daemon links, from Debian's multiarch archive. dbus-daemon
# serves the platform library tests. Run as root. Safe to run again: it only adds what is
# missing.
set -eu
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
  echo "setup-armhf.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
apt-get update

# --no-remove: an armhf library whose version differs from the installed
# amd64 one must fail the install rather than remove the amd64 package.
apt-get install -y --no-install-recommends --no-remove \
  g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf \
  qemu-user \
  cmake pkg-config file dbus-daemon \
  libc6:armhf libstdc++6:armhf \
  libtinyxml2-dev:armhf libdbus-1-dev:armhf pkgconf:armhf \
  libgtest-dev:armhf libgmock-dev:armhf
