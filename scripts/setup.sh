#!/bin/sh
# Installs every Debian package needed to build, test and demonstrate the
# daemon, and to build, check and boot its Debian packages. Run as root on
# Debian 12.
set -eu
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake pkg-config clang clang-format \
  libtinyxml2-dev libdbus-1-dev dbus-daemon dbus-bin \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  iptables busybox curl openssl ca-certificates python3 \
  iproute2 util-linux procps systemd \
  debhelper dpkg-dev fakeroot lintian file mmdebstrap systemd-container
