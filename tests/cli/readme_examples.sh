#!/usr/bin/env bash
# Runs the command-line examples of README.md and compares their output with what README shows
# (tests/cli/readme/*.txt and *.json). Differences from the text: build/bin is the build being
# tested, and the scripted chat server listens on a free port instead of 18080.
#   readme_examples.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
expected=$source_dir/tests/cli/readme
python=${VELTAAI_PYTHON:-/usr/bin/python3}
shared=${VELTAAI_SHARED_DIR:-$source_dir/../shared}
db="sqlite:///$(cd "$shared" && pwd)/data/chinook/chinook.sqlite"
veltaai=$build/bin/veltaai
work=$(mktemp -d)
. "$source_dir/scripts/lib/stub-chat.sh"
cleanup() {
  stop_stub_chat
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {  # name, expected file, actual file
  if ! diff -u "$2" "$3" >"$work/diff"; then
    echo "README example '$1' differs from README:"; cat "$work/diff"; failures=$((failures + 1))
  fi
}
cd "$work"

# --- the new subcommands
"$veltaai" tables --database "$db" >tables.txt
check tables "$expected/tables.txt" tables.txt
"$veltaai" schema --database "$db" Genre >schema.txt
check schema "$expected/schema.txt" schema.txt
"$veltaai" sql --database "$db" "SELECT Name FROM Genre ORDER BY GenreId LIMIT 3" >sql.txt
check sql "$expected/sql.txt" sql.txt
if "$veltaai" sql --database "$db" "DELETE FROM Genre" >refused.txt 2>&1; then
  echo "README example 'sql DELETE' was not refused"; failures=$((failures + 1))
fi
"$veltaai" graph --mermaid | head -n 4 >mermaid.txt
check "graph --mermaid" "$expected/mermaid.txt" mermaid.txt
"$veltaai" --version >version.txt
grep -qx "veltaai [0-9][0-9.]*" version.txt || { echo "veltaai --version printed: $(cat version.txt)"; failures=$((failures + 1)); }

# --- the OpenAI-compatible set-up, against the scripted server
start_stub_chat "$build/bin/veltaai-stub-chat" "$source_dir/examples/demo/replies.json" stub.out
url=$stub_url
OPENAI_BASE_URL=$url/v1 OPENAI_API_KEY=demo-key VELTAAI_MODEL=demo-general \
  "$veltaai" ask -q --database "$db" "Which five artists have the most tracks?" >openai.txt
check "OpenAI-compatible ask" "$expected/openai.txt" openai.txt

# --- the demo and --json: the document README shows, timings aside (they differ per run)
VELTAAI_BUILD_DIR=$build VELTAAI_SHARED_DIR=$shared "$source_dir/scripts/ask.sh" --demo --json -q >demo.json
"$python" - "$expected/demo.json" demo.json "$db" <<'PY' || failures=$((failures + 1))
import json, sys
want, got = (json.load(open(path)) for path in sys.argv[1:3])
for doc in (want, got):
    nodes = [t["node"] for t in doc.pop("timings")]
    assert all(isinstance(n, str) for n in nodes)
    doc["timed_nodes"] = nodes
if want != got:
    print("README example 'ask.sh --demo --json' differs:\n", json.dumps(got, indent=2))
    sys.exit(1)
PY
[ -s media/top_artists.png ] || { echo "the demo drew no plot"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  echo "$failures README example(s) failed"
  exit 1
fi
echo "every README example gives the output README shows"
