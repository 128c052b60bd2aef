#!/usr/bin/env bash
# Asks veltaai one question about the embedded demo database (Chinook on SQLite).
#   scripts/ask.sh "Which genres sell best?"
# The model endpoint comes from .env (see README.md). Builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

question=${1:-"Which five artists have the most tracks?"}
bash scripts/install-deps.sh >/dev/null
build=${VELTAAI_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

shared=${VELTAAI_SHARED_DIR:-$(cd .. && pwd)/shared}
demo_db=${VELTAAI_DEMO_DB:-$shared/data/chinook/chinook.sqlite}
exec "$build/bin/veltaai" ask --database "sqlite:///$demo_db" "$question"
