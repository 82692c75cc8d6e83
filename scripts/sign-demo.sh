#!/usr/bin/env bash
# Sets up, builds the agent for Linux and Windows, starts the local signing
# service on a free port and signs a real Windows program (the agent's own
# .exe) with the Linux agent, then checks the signature with osslsigncode.
# Then it signs again with -verify, which proves the result before saving it,
# and shows a tampered result from a misbehaving service being refused.
# Every step fails the demo when its service does not answer or its outcome is
# not the one shown.
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
state_dir=$here/.service-state
# One interpreter for every service of the demo: Debian's, the one that sees
# python3-multipart (a pyenv or venv python3 first on the PATH does not).
python=/usr/bin/python3

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
fault_pid=""
stop_service() { # pid
  if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
show_log() { # file
  [ -s "$1" ] && sed -e 's/^/  service: /' "$1"
  return 0
}
show_service_log() { show_log "$scratch/service.log"; }
cleanup() {
  stop_service "$service_pid"
  stop_service "$fault_pid"
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Starts the local service on a free port with the options given, sets
# started_pid and started_port, and returns once the service answers a
# request; the demo ends here when it does not.
start_service() { # name log [service options...]
  local name=$1 log=$2 port_file
  shift 2
  port_file=$(mktemp -u "$scratch/port.XXXXXX")
  "$python" "$here/local-service/tarvolin_service.py" --port 0 --port-file "$port_file" \
    --state-dir "$state_dir" "$@" 2>>"$log" &
  started_pid=$!
  for _ in $(seq 600); do # the first start makes an RSA key
    [ -s "$port_file" ] && break
    kill -0 "$started_pid" 2>/dev/null || break
    sleep 0.1
  done
  started_port=$(cat "$port_file" 2>/dev/null || true)
  if [ -z "$started_port" ] || ! "$python" - "$started_port" <<'PY'; then
import http.client, sys
try:
    connection = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=30)
    connection.request("GET", "/tarvolinFE/upgrade.html")
    status = connection.getresponse().status
except (OSError, http.client.HTTPException) as error:
    sys.exit("sign-demo: no answer on port %s: %s" % (sys.argv[1], error))
sys.exit(0 if status == 200 else "sign-demo: the upgrade page answered %d" % status)
PY
    show_log "$log"
    echo "sign-demo: the $name did not start or does not answer" >&2
    exit 1
  fi
}

echo "== start the local signing service on a free port"
start_service "signing service" "$scratch/service.log"
service_pid=$started_pid
port=$started_port
echo "   listening on http://127.0.0.1:$port/tarvolinFE/"
show_service_log
: >"$scratch/service.log" # the service appends, so this starts the log afresh

# The agent talks to the service directly, not through a proxy that the
# environment may name; AGENT_SERVICE_PORT says which service.
run_agent() {
  echo "\$ tarvolin-agent $*"
  local status=0
  (cd "$scratch" && env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY \
    -u all_proxy -u ALL_PROXY \
    TARVOLIN_SERVICE_URL="http://127.0.0.1:${AGENT_SERVICE_PORT:-$port}/tarvolinFE/" \
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
key_status=0
run_agent -k wrong-key -v 1.0 -i tarvolin-agent.exe -o never-written.exe || key_status=$?
if [ $key_status -ne 3 ] || [ -e "$scratch/never-written.exe" ]; then
  show_service_log
  echo "sign-demo: the service's refusal (exit code 3) did not come through" >&2
  exit 1
fi

echo "== sign with -verify: the result must be the input plus a valid signature"
run_agent -k demo-key -verify -signer "$cert" -i tarvolin-agent.exe -o verified.exe || {
  show_service_log
  echo "sign-demo: the agent could not prove the signed result" >&2
  exit 1
}

echo "== a misbehaving service that changes a byte after signing"
start_service "misbehaving service" "$scratch/fault.log" --fault tampered
fault_pid=$started_pid
tampered_status=0
AGENT_SERVICE_PORT=$started_port run_agent -k demo-key -verify -i tarvolin-agent.exe \
  -o tampered.exe >"$scratch/tampered.out" 2>"$scratch/tampered.err" || tampered_status=$?
cat "$scratch/tampered.out" "$scratch/tampered.err"
# The refused result was kept for inspection; the demo has shown it.
kept=$(sed -n 's/^tarvolin-agent: .*the downloaded result is kept in //p' "$scratch/tampered.err")
[ -n "$kept" ] && rm -f "$kept"
stop_service "$fault_pid"
# Refused by the proof, not for any other reason such as a service that
# never answered.
if [ $tampered_status -ne 1 ] || [ -e "$scratch/tampered.exe" ] ||
  ! grep -q '^Verification failed: ' "$scratch/tampered.out"; then
  show_log "$scratch/fault.log"
  echo "sign-demo: the tampered result was not refused by -verify" >&2
  exit 1
fi

echo "== what the service logged"
show_service_log
stop_service "$service_pid"
echo "sign-demo: done. The service runs on its own with:"
echo "  /usr/bin/python3 local-service/tarvolin_service.py"
