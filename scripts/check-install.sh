#!/bin/sh
# Installs the built package into a temporary prefix and builds the example application
# against it, as an application developer would. Fails on the first error.
#
#     scripts/check-install.sh [BUILD_DIR]      (default: build)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac

prefix=$(mktemp -d "${TMPDIR:-/tmp}/zelstats-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix"

for file in include/zelstats/platform/DataSet.h include/zelstats/stats/ZelTable.h \
            include/zelstats/design/Zel32reg.h share/zelstats/sample.db bin/zelstat; do
    if [ ! -e "$prefix/$file" ]; then
        echo "check-install: $file was not installed" >&2
        exit 1
    fi
done
if ! find "$prefix" -name ZelStatsConfig.cmake | grep -q . \
   || ! find "$prefix" -name ZelStatsConfigVersion.cmake | grep -q .; then
    echo "check-install: no package configuration was installed" >&2
    exit 1
fi
if find "$prefix/include" -name '*.cpp' -o -name '*.ui' | grep -q .; then
    echo "check-install: sources or forms were installed with the headers" >&2
    exit 1
fi

cmake -S "$root/examples/app" -B "$prefix/app" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$prefix/app"
echo "check-install: the example application builds against $prefix"
