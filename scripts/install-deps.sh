#!/usr/bin/env bash
# install-deps.sh [PACKAGE...]
# Installs the Debian packages needed to build, test and run kestrove, its
# many-sample workflow and report, and any PACKAGE named.
# Only missing packages are installed; works as root or through sudo. Another
# apt or dpkg at work (unattended upgrades, a second install) is waited for.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config
  zlib1g-dev libhts-dev
  libboost-dev libboost-program-options-dev libboost-filesystem-dev
  libboost-system-dev libboost-thread-dev libboost-timer-dev
  libboost-chrono-dev libboost-date-time-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev
  snakemake python3-matplotlib python3-numpy python3-pandas
  python3-scipy chromium multiqc
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  run() { "$@"; }
elif command -v sudo >/dev/null 2>&1; then
  run() { sudo "$@"; }
else
  echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo available" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
lock=(-o DPkg::Lock::Timeout=900)
run apt-get "${lock[@]}" update -qq
run apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
