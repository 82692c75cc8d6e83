#!/usr/bin/env bash
# Sets up, builds the agent for Linux and Windows, starts the local signing
# service on port 8080 and signs a real Windows program (the agent's own .exe)
# with the Linux agent, then checks the signature with osslsigncode. Then it
# signs again with -verify, which proves the result before saving it, and
# shows a tampered result from a misbehaving service being refused.
# Safe to run again: setup and builds are incremental, and the service keeps
# its certificate and keys in .service-state/.
#
# TARVOLIN_BUILD_PREFIX (default "build/") puts the two builds elsewhere, e.g.
# "build/demo-" gives build/demo-linux and build/demo-win32.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=${TARVOLIN_JOBS:-$(nproc)}
prefix=${TARVOLIN_BUILD_PREFIX:-build/}
port=8080
state_dir=$here/.service-state

"$here/scripts/setup.sh"

for preset in linux win32; do
  echo "== build: $preset"
  if [ "$prefix" = build/ ]; then
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
  else
    cmake --preset "$preset" -B "$prefix$preset" >/dev/null
    cmake --build "$prefix$preset" -j "$jobs"
  fi
done
agent=$here/${prefix}linux/tarvolin-agent
windows_program=$here/${prefix}win32/tarvolin-agent.exe

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvolin-sign-demo.XXXXXX")
service_pid=""
stop_service() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  service_pid=""
}
show_service_log() {
  [ -s "$scratch/service.log" ] && sed -e 's/^/  service: /' "$scratch/service.log"
  return 0
}
cleanup() {
  stop_service
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== start the local signing service on 127.0.0.1:$port"
/usr/bin/python3 "$here/local-service/tarvolin_service.py" --port "$port" \
  --port-file "$scratch/port" --state-dir "$state_dir" 2>>"$scratch/service.log" &
service_pid=$!
for _ in $(seq 600); do
  [ -s "$scratch/port" ] && break
  if ! kill -0 "$service_pid" 2>/dev/null; then
    show_service_log
    echo "sign-demo: the service did not start (is another program using port $port?)" >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -s "$scratch/port" ]; then
  show_service_log
  echo "sign-demo: the service did not start within a minute" >&2
  exit 1
fi
show_service_log
: >"$scratch/service.log" # the service appends, so this starts the log afresh

# The agent talks to localhost:8080 directly, not through a proxy that the
# environment may name.
run_agent() {
  echo "\$ tarvolin-agent $*"
  local status=0
  (cd "$scratch" && env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY \
    "$agent" "$@") || status=$?
  echo "(exit code $status)"
  return $status
}

cp "$windows_program" "$scratch/tarvolin-agent.exe"
echo "== sign a Windows program: ${prefix}win32/tarvolin-agent.exe"
run_agent -k demo-key -v 1.0 -i tarvolin-agent.exe -o tarvolin-agent-signed.exe || {
  show_service_log
  echo "sign-demo: the agent could not sign the program" >&2
  exit 1
}

echo "== check the signature against the development certificate"
cert=$state_dir/dev-signing-cert.pem
echo "\$ osslsigncode verify -CAfile .service-state/dev-signing-cert.pem -in tarvolin-agent-signed.exe"
verify_status=0
verify_output=$(osslsigncode verify -CAfile "$cert" -in "$scratch/tarvolin-agent-signed.exe" 2>&1) ||
  verify_status=$?
if [ $verify_status -ne 0 ]; then
  echo "$verify_output"
  echo "sign-demo: osslsigncode does not accept the signature" >&2
  exit 1
fi
echo "$verify_output" | grep -E 'Subject:|Issuer *:|Signature verification|Number of verified|^Succeeded' |
  awk '!seen[$0]++' | sed -e 's/^[[:space:]]*/  /'

echo "== a key that the service does not know"
run_agent -k wrong-key -v 1.0 -i tarvolin-agent.exe -o never-written.exe || true

echo "== sign with -verify: the result must be the input plus a valid signature"
run_agent -k demo-key -verify -signer "$cert" -i tarvolin-agent.exe -o verified.exe || {
  show_service_log
  echo "sign-demo: the agent could not prove the signed result" >&2
  exit 1
}

echo "== a misbehaving service that changes a byte after signing, reached as a proxy"
python3 "$here/local-service/tarvolin_service.py" --port 0 --fault tampered \
  --port-file "$scratch/fault-port" --state-dir "$state_dir" 2>>"$scratch/fault.log" &
fault_pid=$!
for _ in $(seq 600); do
  [ -s "$scratch/fault-port" ] || ! kill -0 "$fault_pid" 2>/dev/null && break
  sleep 0.1
done
echo "\$ tarvolin-agent -k demo-key -verify -i tarvolin-agent.exe -o tampered.exe"
tampered_status=0
(cd "$scratch" && http_proxy="http://127.0.0.1:$(cat "$scratch/fault-port")" \
  "$agent" -k demo-key -verify -i tarvolin-agent.exe -o tampered.exe 2>"$scratch/tampered.err") ||
  tampered_status=$?
cat "$scratch/tampered.err"
echo "(exit code $tampered_status)"
# The refused result was kept for inspection; the demo has shown it.
kept=$(sed -n 's/^tarvolin-agent: the downloaded result is kept in //p' "$scratch/tampered.err")
[ -n "$kept" ] && rm -f "$kept"
kill -TERM "$fault_pid" 2>/dev/null || true
wait "$fault_pid" 2>/dev/null || true
if [ $tampered_status -ne 1 ] || [ -e "$scratch/tampered.exe" ]; then
  echo "sign-demo: the tampered result was not refused" >&2
  exit 1
fi

echo "== what the service logged"
show_service_log
stop_service
echo "sign-demo: done. The service runs on its own with:"
echo "  python3 local-service/tarvolin_service.py"
