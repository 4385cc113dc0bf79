#!/usr/bin/env bash
# End to end: unmodified tpm2-tools talk to `pei-platform serve`, so every
# command travels through the module's TpmTransportPpi in the emulated
# platform to the TPM. Then the server is restarted on the same state
# directory and the NV index written before must still hold its data.
#
# usage: tpm2_tools_e2e.sh PEI_PLATFORM IMAGE PROTOCOL [session|unpublished|no-startup]
#   PROTOCOL is mssim or swtpm, the TCTI the tools use.
#   session (default): the tools' session and the restart described above.
#   unpublished: a scenario in which the module does not publish its
#   transport; commands must fail at once with TPM_RC_FAILURE, not hang.
#   no-startup: the firmware leaves TPM2_Startup to the client.
#
# Every tool and every wait runs under a timeout; the server is stopped by
# its PID whatever happens.
set -uo pipefail

PEI_PLATFORM=$1
IMAGE=$2
PROTOCOL=$3
MODE=${4:-session}
EXTRA=()

TOOL_TIMEOUT=60
START_TIMEOUT=60
STOP_TIMEOUT=30

WORK=$(mktemp -d)
STATE="$WORK/state"
SERVER_PID=""
SERVER_LOG=""
RUN=0
TCTI=""
unset TPM2TOOLS_TCTI # the tools get -T, nothing else

fail() {
  echo "FAIL: $*" >&2
  if [ -n "$SERVER_LOG" ] && [ -f "$SERVER_LOG" ]; then
    echo "--- server log ($SERVER_LOG) ---" >&2
    tail -n 60 "$SERVER_LOG" >&2
  fi
  exit 1
}

cleanup() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -KILL "$SERVER_PID" 2>/dev/null
    wait "$SERVER_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# A port P such that P and P+1 are both free on 127.0.0.1 right now.
free_port_pair() {
  python3 - <<'EOF'
import random, socket
for _ in range(200):
    port = random.randrange(20000, 60000, 2)
    sockets = []
    try:
        for p in (port, port + 1):
            s = socket.socket()
            s.bind(("127.0.0.1", p))
            sockets.append(s)
        print(port)
        break
    except OSError:
        pass
    finally:
        for s in sockets:
            s.close()
EOF
}

port_open() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts the server on a free port pair; retries when another process took
# the pair between the check and the bind.
start_server() {
  local attempt
  for attempt in 1 2 3 4 5; do
    RUN=$((RUN + 1))
    PORT=$(free_port_pair)
    [ -n "$PORT" ] || fail "no free port pair on 127.0.0.1"
    SERVER_LOG="$WORK/server-$RUN.log"
    "$PEI_PLATFORM" serve "$IMAGE" --protocol "$PROTOCOL" --port "$PORT" \
      --state-dir "$STATE" --verbose "${EXTRA[@]}" >"$SERVER_LOG" 2>&1 &
    SERVER_PID=$!
    local waited=0
    while [ "$waited" -lt $((START_TIMEOUT * 10)) ]; do
      if ! kill -0 "$SERVER_PID" 2>/dev/null; then
        wait "$SERVER_PID"
        if grep -q "in use" "$SERVER_LOG"; then
          continue 2
        fi
        fail "server exited at start"
      fi
      if port_open "$PORT" && port_open $((PORT + 1)); then
        TCTI="$PROTOCOL:host=127.0.0.1,port=$PORT"
        echo "server $SERVER_PID up for -T $TCTI"
        return
      fi
      sleep 0.1
      waited=$((waited + 1))
    done
    fail "server did not listen within $START_TIMEOUT s"
  done
  fail "no port pair could be bound"
}

# Stops the server by its PID with the given signal (TERM or INT).
stop_server() {
  kill "-$1" "$SERVER_PID" || fail "server $SERVER_PID is gone before stop"
  local waited=0
  while kill -0 "$SERVER_PID" 2>/dev/null; do
    if [ "$waited" -ge $((STOP_TIMEOUT * 10)) ]; then
      fail "server did not stop within $STOP_TIMEOUT s of SIG$1"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  wait "$SERVER_PID"
  local status=$?
  SERVER_PID=""
  [ "$status" -eq 0 ] || fail "server exit status $status after SIG$1"
  grep -q "TPM state saved" "$SERVER_LOG" || fail "no clean stop in the log"
}

# Runs a tool against the server, under the timeout; its output goes to
# $WORK/out.
tool() {
  local name=$1
  shift
  timeout "$TOOL_TIMEOUT" "$name" -T "$TCTI" "$@" >"$WORK/out" 2>&1
  local status=$?
  if [ "$status" -eq 124 ]; then
    fail "$name did not finish within $TOOL_TIMEOUT s"
  fi
  return "$status"
}

must() {
  tool "$@" || fail "$* failed: $(cat "$WORK/out")"
}

sha256_of_hex() {
  python3 -c 'import hashlib,sys; print(hashlib.sha256(bytes.fromhex(sys.argv[1])).hexdigest())' "$1"
}

hex_of() {
  python3 -c 'import sys; print(open(sys.argv[1],"rb").read().hex())' "$1"
}

command -v tpm2_getrandom >/dev/null ||
  fail "tpm2-tools are not installed (.ci/install installs them)"

if [ "$MODE" = unpublished ]; then
  # "Setup" byte 256 = 0: the module declines to publish its transport.
  EXTRA=(--device-select 0)
  start_server
  tool tpm2_getrandom 8 && fail "tpm2_getrandom succeeded without a transport"
  grep -q "0x101" "$WORK/out" || fail "expected TPM_RC_FAILURE (0x101): $(cat "$WORK/out")"
  grep -q "not delivered: the module did not publish TpmTransportPpi" "$SERVER_LOG" ||
    fail "the server log does not say why the command failed"
  stop_server TERM
  echo "PASS: without a transport every command is answered with TPM_RC_FAILURE"
  exit 0
fi
if [ "$MODE" = no-startup ]; then
  EXTRA=(--no-startup)
  start_server
  tool tpm2_getrandom 8 && fail "tpm2_getrandom succeeded before TPM2_Startup"
  grep -q "0x100" "$WORK/out" || fail "expected TPM_RC_INITIALIZE (0x100): $(cat "$WORK/out")"
  must tpm2_startup -c
  must tpm2_getrandom 8 -o "$WORK/random.bin"
  stop_server TERM
  echo "PASS: TPM2_Startup left to the client"
  exit 0
fi
[ "$MODE" = session ] || fail "unknown mode \"$MODE\""

NV_INDEX=0x1500016
NV_DATA="$WORK/nv.bin"
printf 'state that must survive restart!' >"$NV_DATA" # 32 bytes

start_server

# A second server may take neither these ports nor this state directory.
second_server() {
  timeout 30 "$PEI_PLATFORM" serve "$IMAGE" --protocol "$PROTOCOL" \
    --port "$1" --state-dir "$2" >"$WORK/second.log" 2>&1
  local status=$?
  [ "$status" -eq 1 ] || fail "second server: exit status $status, expected 1: $(cat "$WORK/second.log")"
  grep -q "$3" "$WORK/second.log" || fail "second server: expected \"$3\": $(cat "$WORK/second.log")"
}
second_server "$PORT" "$WORK/other-state" "port $PORT on 127.0.0.1 is already in use"
second_server "$(free_port_pair)" "$STATE" "is in use by another server"
# Nor may one start on TPM state that libtpms refuses.
mkdir -p "$WORK/damaged-state"
printf 'not TPM state' >"$WORK/damaged-state/tpm2-00.permall"
second_server "$(free_port_pair)" "$WORK/damaged-state" "could not power on the TPM"

# The firmware has already sent TPM2_Startup(CLEAR) unless told not to; a
# second Startup is refused by the TPM, which is fine here.
tool tpm2_startup -c || echo "tpm2_startup -c refused (TPM already started)"

must tpm2_getrandom 16 -o "$WORK/random.bin"
[ "$(stat -c %s "$WORK/random.bin")" -eq 16 ] || fail "tpm2_getrandom gave $(stat -c %s "$WORK/random.bin") bytes, expected 16"

# PCR 16 is resettable from locality 0: start from zeros, extend twice and
# compare with the digest the two extends must give.
must tpm2_pcrreset 16
A=$(printf 'first measurement' | sha256sum | cut -d' ' -f1)
B=$(printf 'second measurement' | sha256sum | cut -d' ' -f1)
must tpm2_pcrextend "16:sha256=$A"
must tpm2_pcrextend "16:sha256=$B"
ZERO=$(printf '%064d' 0)
EXPECTED=$(sha256_of_hex "$(sha256_of_hex "$ZERO$A")$B")
must tpm2_pcrread "sha256:16" -o "$WORK/pcr.bin"
GOT=$(hex_of "$WORK/pcr.bin")
[ "$GOT" = "$EXPECTED" ] || fail "PCR 16 is $GOT, the extends give $EXPECTED"

# The tools leave the new primary key loaded; flush it by its handle.
must tpm2_getcap handles-transient
BEFORE=$(cat "$WORK/out")
must tpm2_createprimary -C o -G ecc -c "$WORK/primary.ctx"
must tpm2_getcap handles-transient
NEW=$(grep -vxF -e "$BEFORE" "$WORK/out" | sed -n 's/^- //p')
[ -n "$NEW" ] || fail "no new transient handle after tpm2_createprimary"
for handle in $NEW; do
  must tpm2_flushcontext "$handle"
done
must tpm2_getcap handles-transient
[ "$(cat "$WORK/out")" = "$BEFORE" ] || fail "transient handles left after tpm2_flushcontext: $(cat "$WORK/out")"

must tpm2_nvdefine -C o -s 32 -a "ownerread|ownerwrite" "$NV_INDEX"
must tpm2_nvwrite -C o -i "$NV_DATA" "$NV_INDEX"
must tpm2_nvread -C o -s 32 -o "$WORK/nv-read.bin" "$NV_INDEX"
cmp -s "$NV_DATA" "$WORK/nv-read.bin" || fail "NV index reads back differently"

must tpm2_getcap properties-fixed
grep -q TPM2_PT_FAMILY_INDICATOR "$WORK/out" || fail "tpm2_getcap properties-fixed: $(cat "$WORK/out")"

grep -q "TPM2_NV_Write -> 0x00000000" "$SERVER_LOG" || fail "server log has no per-command line"
grep -q "published TpmTransportPpi; firmware sent TPM2_Startup(CLEAR)" "$SERVER_LOG" ||
  fail "the server did not boot the firmware and start the TPM through it"
stop_server TERM

# Restart on the same state directory: NV survives, PCRs do not.
start_server
tool tpm2_startup -c || true
must tpm2_nvread -C o -s 32 -o "$WORK/nv-after.bin" "$NV_INDEX"
cmp -s "$NV_DATA" "$WORK/nv-after.bin" || fail "NV index lost its data across a restart"
must tpm2_pcrread "sha256:16" -o "$WORK/pcr-after.bin"
[ "$(hex_of "$WORK/pcr-after.bin")" = "$ZERO" ] || fail "PCR 16 kept its value across a reboot"
stop_server INT

echo "PASS: tpm2-tools over $PROTOCOL through the firmware"
