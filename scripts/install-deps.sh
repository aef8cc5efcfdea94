#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and benchmarking need, and generates
# the locales the formatting tests run under. Skips apt entirely when everything is present,
# so a prepared machine is not upgraded.
set -euo pipefail

# make: CMake only recommends it, and a project configured without -G Ninja needs it.
# locales: a clean machine has only C and C.UTF-8; localedef comes with it.
# Qt's MySQL and SQLite drivers and the MariaDB client serve the Qt SQL backend; the tests
# start a throwaway MariaDB server of their own (scripts/with-mariadb.sh).
# help2man makes zelstat's manual page from its --help at build time; man-db and groff-base
# let the tests render that page as man shows it.
packages=(g++ cmake ninja-build make pkg-config qt6-base-dev libsqlite3-dev sqlite3 libpq-dev
          libgtest-dev libgmock-dev libbenchmark-dev postgresql-15 xvfb xauth
          fonts-liberation fonts-dejavu-core time locales
          libqt6sql6-mysql libqt6sql6-sqlite libmariadb-dev mariadb-server
          help2man man-db groff-base)

# The formatting tests check that numbers do not change under a locale with a decimal comma
# (de_DE) and one whose decimal separator is a two-byte character (ps_AF).
test_locales=(de_DE ps_AF)

# True when `locale -a` lists NAME.UTF-8 (it spells the codeset "utf8").
have_locale() {
    locale -a 2>/dev/null | grep -qiE "^$1\.utf-?8\$"
}

generate_locales() {
    local missing_locales=()
    for l in "${test_locales[@]}"; do
        have_locale "$l" || missing_locales+=("$l")
    done
    [[ ${#missing_locales[@]} -eq 0 ]] && return 0
    if [[ $(id -u) -ne 0 ]]; then
        # Only the formatting tests need them, and they fail saying so; everything else runs.
        echo "install-deps: locales ${missing_locales[*]/%/.UTF-8} are missing;" \
             "run scripts/install-deps.sh as root to generate them" >&2
        return 0
    fi
    for l in "${missing_locales[@]}"; do
        localedef -i "$l" -f UTF-8 "$l.UTF-8"
    done
}

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
    generate_locales
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
generate_locales
