#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled sample database: the
# summary of EMPLOYEE.SALARY, and a report of every window as PNG files in ./report.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

source scripts/common.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELSTATS_BENCH=OFF
cmake --build build -j "$(nproc)"

./build/app/zelstat summary
./build/app/zelstat report --out report
echo "The windows of the report are in $root/report."
