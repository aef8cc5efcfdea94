#!/usr/bin/env bash
# Builds and runs consumers of an installed package, as applications would:
#   - a program on ZelStats::core (tests/consumer/core) with find_package, and the same program
#     through pkg-config, while the database client development files (headers, unversioned
#     library links, pkg-config and CMake files of libpq-dev, libmariadb-dev, libsqlite3-dev)
#     are hidden: the core needs Qt Core, Qt SQL and the package only. Hiding them takes a
#     private mount namespace, so root outside a chroot; otherwise these build with the files
#     in place, and the script says so. Either way, their compile and link commands must name
#     none of those packages' files, nor Qt Widgets.
#   - an application with its own platform/DataSet.h, data/DataSet.h and stats/ZelStats.h first
#     on its include path (tests/consumer/clash), on ZelStats::widgets.
#
#     scripts/check-consumer.sh PREFIX     (the package installed there, its sample database too)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(cd "${1:?usage: check-consumer.sh PREFIX}" && pwd)
if [[ ${ZELSTATS_CONSUMER_WORK:-} ]]; then
    # The run inside the mount namespace: its folder is removed by the run that started it,
    # once the namespace and its mounts are gone (removing it here would go through the bind
    # mounts into the system's own folders).
    work=$ZELSTATS_CONSUMER_WORK
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/zelstats-consumer.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
sample=$prefix/share/zelstats/sample.db

dev_packages=(libpq-dev libmariadb-dev libmariadb-dev-compat libsqlite3-dev)

# The headers, libraries, pkg-config and CMake files of the installed database client
# development packages (their programs stay: hiding a file puts /usr/bin behind links, and
# CMake finds its own modules from its real path).
dev_files() {
    local package
    for package in "${dev_packages[@]}"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q 'ok installed' || continue
        dpkg -L "$package"
    done | grep -E '^/usr/(include|lib)/' | while read -r path; do
        if [[ -L $path || -f $path ]]; then echo "$path"; fi
    done
}

# Shows a folder without the given entries, in this mount namespace only: a bind mount of a
# folder of links to the rest. (A bind mount over a library link would land on the library it
# points to, which the programs need at run time.)
hide_entries() {
    local dir=$1 view side entry
    shift
    mkdir -p "$work/mounts"
    side=$(mktemp -d "$work/mounts/side.XXXXXX")
    view=$(mktemp -d "$work/mounts/view.XXXXXX")
    mount --bind "$dir" "$side"
    for entry in "$side"/* "$side"/.[!.]*; do
        [[ -e $entry || -L $entry ]] || continue
        [[ " $* " == *" ${entry##*/} "* ]] || ln -s "$entry" "$view/${entry##*/}"
    done
    mount --bind "$view" "$dir"
}

hide_dev_files() {
    local files dir
    mapfile -t files < <(dev_files)
    for dir in $(printf '%s\n' "${files[@]}" | xargs -r -n1 dirname | sort -u); do
        hide_entries "$dir" $(printf '%s\n' "${files[@]}" | awk -v d="$dir" \
            'substr($0, 1, length(d) + 1) == d "/" && index(substr($0, length(d) + 2), "/") == 0 \
             { print substr($0, length(d) + 2) }')
    done
    if [[ -e /usr/include/sqlite3.h || -e /usr/include/postgresql/libpq-fe.h \
          || -e /usr/include/mariadb/mysql.h ]] || pkg-config --exists libpq || pkg-config --exists sqlite3; then
        echo "check-consumer: the database client development files are still visible" >&2
        exit 1
    fi
}

# Fails when a compile or link command of the core consumer names a file of the database
# client development packages or of Qt Widgets: what its build would need them for. Holds with
# the files in place too, so it is the check where they cannot be hidden.
check_core_commands() {
    local commands=$1 found
    found=$({ grep -oE 'postgresql|libpq|mariadb|mysql|sqlite3|QtWidgets|Qt6Widgets' \
                  "$commands" || true; } | sort -u | tr '\n' ' ')
    if [[ -n $found ]]; then
        echo "check-consumer: the core consumer's build names $found($commands)" >&2
        exit 1
    fi
}

core_consumers() {
    cmake -S "$root/tests/consumer/core" -B "$work/core" -DCMAKE_PREFIX_PATH="$prefix"
    cmake --build "$work/core"
    "$work/core/core-consumer" "$sample"
    cat "$work/core/CMakeFiles/core-consumer.dir/flags.make" \
        "$work/core/CMakeFiles/core-consumer.dir/link.txt" >"$work/core-commands.txt"
    check_core_commands "$work/core-commands.txt"
    echo "check-consumer: a program on ZelStats::core builds and runs (find_package)"

    local pc=$prefix/lib/pkgconfig
    [[ -d $pc ]] || pc=$(dirname "$(find "$prefix" -name zelstats-core.pc | head -n 1)")
    # shellcheck disable=SC2046
    PKG_CONFIG_PATH=$pc pkg-config --cflags --libs zelstats-core >"$work/core-pc-flags.txt"
    check_core_commands "$work/core-pc-flags.txt"
    c++ -std=c++20 -o "$work/core-pc" "$root/tests/consumer/core/main.cpp" \
        $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs zelstats-core) \
        -Wl,-rpath,"$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir zelstats-core)"
    "$work/core-pc" "$sample"
    echo "check-consumer: a program on zelstats-core builds and runs (pkg-config)"
}

if [[ ${ZELSTATS_CONSUMER_WORK:-} ]]; then
    hide_dev_files
    echo "check-consumer: the database client development files are hidden"
    core_consumers
    exit 0
fi

if [[ $(id -u) -eq 0 ]] && unshare -m true 2>/dev/null; then
    ZELSTATS_CONSUMER_WORK=$work unshare -m --propagation private bash "$0" "$prefix"
else
    echo "check-consumer: no private mount namespace here (not root, or inside a chroot), so" \
         "the database client development files stay in place; the core consumer's compile" \
         "and link commands are checked to name none of them"
    core_consumers
fi

cmake -S "$root/tests/consumer/clash" -B "$work/clash" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/clash"
"$work/clash/clash-consumer"
echo "check-consumer: an application with its own data/, platform/ and stats/ headers builds"
