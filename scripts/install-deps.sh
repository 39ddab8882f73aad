#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the examples need.
# Idempotent: does nothing when all of them are there already.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libmariadb-dev libsnmp-dev libpcre3-dev libssl-dev libbz2-dev libidn-dev libabsl-dev tzdata
  mariadb-server mariadb-client snmpd snmp
  clang libclang-rt-14-dev
  iproute2 util-linux gettext bzip2 openssl procps
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Services must not start on their own: the tests start private instances.
# The block is ours only when we made it, and it goes once the installs are
# done, so services the machine's owner installs later start as usual.
made_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  made_policy=1
fi
remove_policy() { [ "$made_policy" -eq 0 ] || $SUDO rm -f /usr/sbin/policy-rc.d; }
trap remove_policy EXIT
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
