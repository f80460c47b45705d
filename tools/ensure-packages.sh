#!/usr/bin/env bash
# Installs the Debian packages that building and testing the readers need,
# when they are missing. Safe to run again: it installs nothing present.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev tzdata tmux
  clang libclang-rt-dev faketime strace
  nlohmann-json3-dev libsqlite3-dev sqlite3 time bc
  # help2man makes the man pages; the install test reads them (man-db),
  # loads the completion (bash-completion) and builds the Debian package
  # (dpkg-dev, file).
  help2man man-db bash-completion dpkg-dev file
  # The end-to-end tests render the audit's HTML report in headless
  # Chromium and read its screenshot with libpng.
  chromium libpng-dev
  # The many-host tests run a GlusterFS cluster in network namespaces.
  glusterfs-server glusterfs-client iproute2 procps)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
