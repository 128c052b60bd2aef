#!/usr/bin/env bash
# Builds veltaai with warnings as errors and runs every test, with the database servers the
# tests need started on loopback ports and stopped afterwards.
#   scripts/run-tests.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# Sources that differ from .clang-format fail the run before anything is built.
bash scripts/check-format.sh
build=${VELTAAI_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTAAI_WERROR=ON
cmake --build "$build" -j "$(nproc)"

if [ -x scripts/test-servers.sh ]; then
  scripts/test-servers.sh start
  trap 'scripts/test-servers.sh stop' EXIT
  # shellcheck disable=SC1091
  [ -f "${VELTAAI_TEST_ENV:-/tmp/veltaai-test-servers/env}" ] && . "${VELTAAI_TEST_ENV:-/tmp/veltaai-test-servers/env}"
fi

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 "$@"
