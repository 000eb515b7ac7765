#!/bin/sh
# Runs one armhf program under qemu user-mode emulation; the build's
# CMAKE_CROSSCOMPILING_EMULATOR (CTest and gtest test discovery call it).
#
#   qemu-armhf.sh QEMU ROOT PROGRAM [ARGS...]
#
# QEMU is qemu-arm (or qemu-arm-static); ROOT is the target's library root
# given to qemu as -L: a sysroot, or / for the build machine's own armhf
# multiarch libraries.
#
# GoogleTest runs a death test by executing its own argv[0] again, which the
# build machine cannot do with an ARM binary unless binfmt_misc is set up.
# So the program is given this script as its argv[0] (qemu -0), and the
# script, executed again that way with the program's own arguments, runs the
# same program under qemu once more. Program, qemu and root travel in the
# environment.
set -eu

reentered=false
if [ -n "${MGM_ARMHF_PROGRAM:-}" ]; then
  for arg in "$@"; do
    case $arg in
    --gtest_internal_run_death_test=*) reentered=true ;;
    esac
  done
fi

if ! $reentered; then
  if [ $# -lt 3 ]; then
    echo "usage: $0 QEMU ROOT PROGRAM [ARGS...]" >&2
    exit 2
  fi
  MGM_ARMHF_QEMU=$1
  MGM_ARMHF_ROOT=$2
  MGM_ARMHF_PROGRAM=$3
  shift 3
  export MGM_ARMHF_QEMU MGM_ARMHF_ROOT MGM_ARMHF_PROGRAM
fi

exec "$MGM_ARMHF_QEMU" -L "$MGM_ARMHF_ROOT" -0 "$0" "$MGM_ARMHF_PROGRAM" "$@"
