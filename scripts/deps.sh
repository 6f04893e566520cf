#!/bin/bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  libxml2-dev zlib1g-dev libsqlite3-dev libsystemd-dev libcurl4-openssl-dev libwbxml2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon curl ca-certificates openssl
  # Service integration: man pages, the Debian package and its checks, unit
  # verification, the sender-user tests (setpriv).
  scdoc debhelper lintian man-db systemd dbus util-linux
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
