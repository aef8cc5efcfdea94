#!/bin/sh
# Installs the built package into a temporary prefix and builds the example application, the
# README's example and the consumers of scripts/check-consumer.sh against it, as application
# developers would. Fails on the first error.
#
#     scripts/check-install.sh [BUILD_DIR]      (default: build)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac

prefix=$(mktemp -d "${TMPDIR:-/tmp}/zelstats-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix"

for file in include/zelstats/data/DataSet.h include/zelstats/components/ZelTable.h \
            include/zelstats/design/Zel32reg.h include/zelstats/Version.h \
            share/zelstats/sample.db bin/zelstat libexec/zelstat/zelstat-windows; do
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
for file in zelstats-core.pc zelstats-widgets.pc; do
    if ! find "$prefix" -path "*/pkgconfig/$file" | grep -q .; then
        echo "check-install: no pkg-config file $file was installed" >&2
        exit 1
    fi
done
if find "$prefix/include" -name '*.cpp' -o -name '*.ui' | grep -q .; then
    echo "check-install: sources or forms were installed with the headers" >&2
    exit 1
fi
# Every header an installed header includes from the package is installed too, under zelstats/.
missing=$(find "$prefix/include" -name '*.h' -exec sed -nE 's/^#include ["<](zelstats\/[^">]+)[">].*/\1/p; s/^#include "([^"]+)".*/\1/p' {} + \
          | sort -u | while read -r header; do
              [ -e "$prefix/include/$header" ] || echo "$header"
          done)
if [ -n "$missing" ]; then
    echo "check-install: installed headers include headers that are not installed:" $missing >&2
    exit 1
fi

# The installed program finds its sample and its window part.
"$prefix/bin/zelstat" summary > /dev/null
"$prefix/bin/zelstat" describe --fields SALARY --png "$prefix/describe.png" > /dev/null
echo "check-install: the installed zelstat runs, its window part too"

cmake -S "$root/examples/app" -B "$prefix/app" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$prefix/app"
# The package names its own sample database, wherever it was installed.
if ! grep -qF "ZELSTATS_SAMPLE_DB=\\\"$prefix/share/zelstats/sample.db" \
        "$prefix/app/CMakeFiles/salaries.dir/flags.make"; then
    echo "check-install: ZELSTATS_SAMPLE_DB does not name $prefix/share/zelstats/sample.db" >&2
    exit 1
fi
echo "check-install: the example application builds against $prefix"

# The README's example, exactly as written there, built and run headless on the sample: it
# must neither fail nor wait for a person.
mkdir -p "$prefix/readme"
awk '/^## Using the components in an application/ { section = 1 }
     section && /^```cpp/ { copying = 1; next }
     copying && /^```/ { exit }
     copying { print }' "$root/README.md" > "$prefix/readme/main.cpp"
cat > "$prefix/readme/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(ReadmeExample LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(ZelStats 1.1 REQUIRED COMPONENTS widgets)
add_executable(readme main.cpp)
target_link_libraries(readme PRIVATE ZelStats::widgets)
CMAKE
cmake -S "$prefix/readme" -B "$prefix/readme/build" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$prefix/readme/build"
QT_QPA_PLATFORM=offscreen timeout 60 "$prefix/readme/build/readme" "$prefix/share/zelstats/sample.db"
echo "check-install: the README's example builds and runs against $prefix"

bash "$root/scripts/check-consumer.sh" "$prefix"
