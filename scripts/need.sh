#!/usr/bin/env bash
# need.sh PACKAGE... : makes sure Debian packages are installed. Installs the missing ones
# with apt-get when run as root; otherwise stops with the exact command to run.
set -euo pipefail
missing=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing ${missing[*]} ..."
  export DEBIAN_FRONTEND=noninteractive
  # Another apt-get at work (a second build, the system's own updates) is waited for.
  lock=(-o DPkg::Lock::Timeout=600)
  apt-get "${lock[@]}" update -qq >/dev/null || apt-get "${lock[@]}" update
  apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing packages. Run:"
  echo "  sudo apt-get install -y ${missing[*]}"
  exit 1
fi
