#!/usr/bin/env bash
# Asks veltaai one question about the demo database (Chinook on SQLite).
#   scripts/ask.sh "Which genres sell best?"     the model endpoint comes from .env (README.md)
#   scripts/ask.sh --demo [ask options...]       no model needed: the project's scripted chat
#                                                server answers from examples/demo/replies.json
# Builds only the programs it runs. Options after the question (or after --demo) go to
# `veltaai ask`, e.g. --json or -q.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
root=$(pwd)

demo=false
if [ "${1:-}" = "--demo" ]; then
  demo=true
  shift
fi
question="Which five artists have the most tracks?"
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  question=$1
  shift
fi

build=${VELTAAI_BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh >/dev/null
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
targets=(veltaai)
$demo && targets+=(veltaai-stub-chat)
cmake --build "$build" --target "${targets[@]}" >/dev/null
build=$(cd "$build" && pwd)

shared=${VELTAAI_SHARED_DIR:-$(cd .. && pwd)/shared}
demo_db=${VELTAAI_DEMO_DB:-$shared/data/chinook/chinook.sqlite}

if ! $demo; then
  exec "$build/bin/veltaai" ask --database "sqlite:///$demo_db" "$@" "$question"
fi

# The scripted server on a free port.
. "$root/scripts/lib/stub-chat.sh"
run_dir=$(mktemp -d)
cleanup() {
  stop_stub_chat
  rm -rf "$run_dir"
}
trap cleanup EXIT
start_stub_chat "$build/bin/veltaai-stub-chat" "$root/examples/demo/replies.json" "$run_dir/stub.out"
url=$stub_url

# The demo writes its plot into media/ under the directory it was started from.
cd "$caller"
status=0
env OPENAI_BASE_URL="$url/v1" OPENAI_API_KEY=demo-key VELTAAI_MODEL=demo-general VELTAAI_SQL_MODEL=demo-sql \
  "$build/bin/veltaai" ask --provider openai --database "sqlite:///$demo_db" "$@" "$question" || status=$?
exit $status
