# The project's scripted chat server for shell scripts: sourced, not run.
#   start_stub_chat PROGRAM REPLIES LOG   starts it on a free port in the background and waits
#                                         until it listens; sets stub_pid and stub_url
#   stop_stub_chat                        ends it (safe to call when it never started)

start_stub_chat() {
  "$1" --script "$2" --port 0 >"$3" 2>&1 &
  stub_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening on ' "$3" && break
    kill -0 "$stub_pid" 2>/dev/null || break
    sleep 0.05
  done
  stub_url=$(sed -n 's/^listening on //p' "$3")
  if [ -z "$stub_url" ]; then
    echo "the scripted chat server did not start:" >&2
    cat "$3" >&2
    return 1
  fi
}

stop_stub_chat() {
  if [ -n "${stub_pid:-}" ]; then
    kill "$stub_pid" 2>/dev/null || true
    wait "$stub_pid" 2>/dev/null || true
  fi
  stub_pid=
  return 0
}
