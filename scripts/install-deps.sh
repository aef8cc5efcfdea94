#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and benchmarking need.
# Skips apt entirely when everything is present, so a prepared machine is not upgraded.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libsqlite3-dev sqlite3 libpq-dev
          libgtest-dev libgmock-dev libbenchmark-dev postgresql-15 xvfb xauth
          fonts-liberation fonts-dejavu-core time
          libqt6sql6-mysql libqt6sql6-sqlite libmariadb-dev mariadb-server)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
fi

# The package would otherwise create and start a cluster of its own; the tests start a
# throwaway server themselves.
mkdir -p /etc/postgresql-common
conf=/etc/postgresql-common/createcluster.conf
if ! grep -q '^create_main_cluster *= *false' "$conf" 2>/dev/null; then
    echo 'create_main_cluster = false' >> "$conf"
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
