#!/usr/bin/env bash
# End to end: unmodified tpm2-tools talk to `pei-platform serve`, so every
# command travels through the module's TpmTransportPpi in the emulated
# platform to the TPM. Then the server is restarted on the same state
# directory and the NV index written before must still hold its data.
#
# usage: tpm2_tools_e2e.sh PEI_PLATFORM IMAGE PROTOCOL [MODE]
#   PROTOCOL is mssim or swtpm, the TCTI the tools use. MODE is one of
#   session (default): the tools' session and the restart described above,
#   the state directory refused to a second server and to boot, and a stop
#   while a PCR allocation change is pending (TPM2_Shutdown(STATE) refused).
#   unpublished: a scenario in which the module does not publish its
#   transport; commands must fail at once with TPM_RC_FAILURE, not hang.
#   no-startup: the firmware leaves TPM2_Startup to the client.
#   full-disk: the state directory's file system fills up; the failed NV
#   write and the failed save are reported with their cause, nothing of the
#   data reaches the log, and the stop exits 1 (needs a user and mount
#   namespace for a small tmpfs; exits 77, a skip, where there is none).
#   abrmd: tpm2-abrmd, which keeps one command connection for good, in front
#   of the server on a private session bus; its connection must outlast a
#   pause of several idle timeouts (exits 77 without tpm2-abrmd, its TCTI,
#   dbus-run-session or tpm2-tools).
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
ABRMD_PID=""
ABRMD_LOG=""
RUN=0
TCTI=""
unset TPM2TOOLS_TCTI # the tools get -T, nothing else

fail() {
  echo "FAIL: $*" >&2
  if [ -n "$SERVER_LOG" ] && [ -f "$SERVER_LOG" ]; then
    echo "--- server log ($SERVER_LOG) ---" >&2
    tail -n 60 "$SERVER_LOG" >&2
  fi
  if [ -n "$ABRMD_LOG" ] && [ -f "$ABRMD_LOG" ]; then
    echo "--- tpm2-abrmd log ($ABRMD_LOG) ---" >&2
    tail -n 30 "$ABRMD_LOG" >&2
  fi
  exit 1
}

cleanup() {
  if [ -n "$ABRMD_PID" ] && kill -0 "$ABRMD_PID" 2>/dev/null; then
    kill -KILL "$ABRMD_PID" 2>/dev/null
    wait "$ABRMD_PID" 2>/dev/null
  fi
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

# Stops the server by its PID with the given signal (TERM or INT); expects
# exit status $2 (default 0).
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
  [ "$status" -eq "${2:-0}" ] || fail "server exit status $status after SIG$1, expected ${2:-0}"
  grep -q "serve: stopped; " "$SERVER_LOG" || fail "no stop in the log"
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

if [ "$MODE" = abrmd ]; then
  PATH="$PATH:/usr/sbin:/sbin" # tpm2-abrmd and ldconfig, for any user
  missing=""
  for program in tpm2-abrmd dbus-run-session dbus-send tpm2_getrandom; do
    command -v "$program" >/dev/null || missing="$missing $program"
  done
  # grep reads all of its input here: with -q it could stop at the first
  # match, and ldconfig's SIGPIPE would fail the pipeline (pipefail).
  ldconfig -p | grep 'libtss2-tcti-tabrmd\.so\.0 ' >/dev/null ||
    missing="$missing libtss2-tcti-tabrmd.so.0"
  if [ -n "$missing" ]; then
    echo "SKIP: not installed:$missing (.ci/install installs them)"
    exit 77
  fi
  # A bus of our own: no system bus needed, no name clash with other runs.
  if [ -z "${E2E_IN_DBUS_SESSION:-}" ]; then
    trap - EXIT
    rm -rf "$WORK"
    exec dbus-run-session -- env E2E_IN_DBUS_SESSION=1 bash "$0" "$@"
  fi
  IDLE=1
  EXTRA=(--idle-timeout "$IDLE")
  start_server
  ABRMD_LOG="$WORK/abrmd.log"
  tpm2-abrmd --session --allow-root --tcti="$TCTI" >"$ABRMD_LOG" 2>&1 &
  ABRMD_PID=$!
  waited=0
  until dbus-send --session --print-reply --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
    string:com.intel.tss2.Tabrmd 2>/dev/null | grep "boolean true" >/dev/null; do
    kill -0 "$ABRMD_PID" 2>/dev/null || fail "tpm2-abrmd exited at start"
    [ "$waited" -lt $((START_TIMEOUT * 10)) ] ||
      fail "tpm2-abrmd did not take its bus name within $START_TIMEOUT s"
    sleep 0.1
    waited=$((waited + 1))
  done
  TCTI="tabrmd:bus_type=session"
  must tpm2_getrandom 8 -o "$WORK/random.bin"
  # Quiet for three idle timeouts with no other client: the connection the
  # resource manager holds must stay open, for it never opens another.
  sleep $((3 * IDLE))
  must tpm2_getrandom 8 -o "$WORK/random.bin"
  must tpm2_createprimary -C o -G ecc -c "$WORK/primary.ctx"
  kill -TERM "$ABRMD_PID"
  waited=0
  while kill -0 "$ABRMD_PID" 2>/dev/null; do
    [ "$waited" -lt $((STOP_TIMEOUT * 10)) ] ||
      fail "tpm2-abrmd did not stop within $STOP_TIMEOUT s of SIGTERM"
    sleep 0.1
    waited=$((waited + 1))
  done
  wait "$ABRMD_PID"
  status=$?
  ABRMD_PID=""
  [ "$status" -eq 0 ] || fail "tpm2-abrmd exit status $status after SIGTERM"
  stop_server TERM
  # All of it on one command connection, which the resource manager closed
  # (the start's port probes send no command).
  lines=$(grep "mssim command connection from .*: [1-9][0-9]* commands" "$SERVER_LOG")
  [ "$(printf '%s\n' "$lines" | wc -l)" -eq 1 ] && [[ "$lines" == *", closed by the client" ]] ||
    fail "expected one command connection, closed by tpm2-abrmd: $lines"
  echo "PASS: tpm2-abrmd keeps its one connection across a quiet spell"
  exit 0
fi

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
  grep -q "stopped; the TPM was never started" "$SERVER_LOG" ||
    fail "the stop claims a save the TPM never made"
  echo "PASS: without a transport every command is answered with TPM_RC_FAILURE"
  exit 0
fi
if [ "$MODE" = no-startup ]; then
  EXTRA=(--no-startup)
  # Stopped before any client started the TPM: there was nothing to save.
  start_server
  stop_server TERM
  grep -q "TPM state saved" "$SERVER_LOG" && fail "\"saved\" without a TPM2_Startup"
  start_server
  tool tpm2_getrandom 8 && fail "tpm2_getrandom succeeded before TPM2_Startup"
  grep -q "0x100" "$WORK/out" || fail "expected TPM_RC_INITIALIZE (0x100): $(cat "$WORK/out")"
  must tpm2_startup -c
  must tpm2_getrandom 8 -o "$WORK/random.bin"
  stop_server TERM
  grep -q "stopped; TPM state saved" "$SERVER_LOG" || fail "no save at the stop"
  echo "PASS: TPM2_Startup left to the client"
  exit 0
fi
if [ "$MODE" = full-disk ]; then
  if [ -z "${E2E_IN_NAMESPACE:-}" ]; then
    if ! unshare -rm true 2>/dev/null; then
      echo "SKIP: no user and mount namespace here (unshare -rm) for a small tmpfs"
      exit 77
    fi
    trap - EXIT
    rm -rf "$WORK"
    exec unshare -rm env E2E_IN_NAMESPACE=1 bash "$0" "$@"
  fi
  mkdir -p "$STATE"
  mount -t tmpfs -o size=1m tmpfs "$STATE" || fail "cannot mount a tmpfs on $STATE"
  start_server
  must tpm2_nvdefine -C o -s 32 -a "ownerread|ownerwrite" 0x1500016
  # Fill the file system, then write recognisable data to the index.
  dd if=/dev/zero of="$STATE/filler" bs=4k 2>/dev/null
  SECRET="$WORK/secret.bin"
  printf 'SECRETSECRETSECRETSECRETSECRET!!' >"$SECRET"
  tool tpm2_nvwrite -C o -i "$SECRET" 0x1500016 && fail "tpm2_nvwrite succeeded on a full disk"
  stop_server TERM 1
  grep -q "stopped; the TPM state was not saved: .*No space left on device" "$SERVER_LOG" ||
    fail "the stop does not say the save failed and why"
  grep -q "TPM state saved" "$SERVER_LOG" && fail "\"saved\" after a failed save"
  ls "$STATE" | grep '\.tmp$' >/dev/null && fail "a temporary state file was left: $(ls "$STATE")"
  grep -q "entered failure mode in TPM2_NV_Write (command code 0x00000137, response code 0x00000101)" "$SERVER_LOG" ||
    fail "failure mode is not reported by command and response code"
  # "SECRET" as text, as hex with or without blanks.
  for form in "SECRET" "53454352" "53 45 43 52"; do
    grep -qi "$form" "$SERVER_LOG" && fail "the NV data reached the log ($form)"
  done
  # With room again, the TPM works from what was last saved.
  rm "$STATE/filler"
  start_server
  tool tpm2_startup -c || true
  must tpm2_nvreadpublic 0x1500016
  stop_server TERM
  grep -q "stopped; TPM state saved" "$SERVER_LOG" || fail "no save after room was made"
  echo "PASS: a full disk is reported, nothing leaks, nothing is claimed"
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
second_server "$(free_port_pair)" "$STATE" "is in use by another pei-platform process"
# Nor may boot, whose TPM would write back its own stale copy of the NV.
timeout 60 "$PEI_PLATFORM" boot "$IMAGE" --state-dir "$STATE" >"$WORK/boot.log" 2>&1
status=$?
[ "$status" -eq 1 ] && grep -q "is in use by another pei-platform process" "$WORK/boot.log" ||
  fail "boot on the server's state directory: status $status: $(cat "$WORK/boot.log")"
# A state directory that is a file is a bad command line.
timeout 60 "$PEI_PLATFORM" serve "$IMAGE" --port "$(free_port_pair)" \
  --state-dir "$NV_DATA" >"$WORK/file.log" 2>&1
status=$?
[ "$status" -eq 2 ] && grep -q -- "--state-dir: expected a directory, found \"$NV_DATA\"" "$WORK/file.log" ||
  fail "a file as the state directory: status $status: $(cat "$WORK/file.log")"
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

# An orderly counter keeps its count in the TPM's memory until an orderly
# shutdown. A pending PCR allocation change makes the TPM refuse the stop's
# TPM2_Shutdown(STATE); the stop must still shut it down in order (CLEAR),
# say so, and succeed.
COUNTER=0x1500017
must tpm2_nvdefine -C o -s 8 -a "ownerread|ownerwrite|orderly|nt=counter" "$COUNTER"
must tpm2_nvincrement -C o "$COUNTER"
must tpm2_nvincrement -C o "$COUNTER"
must tpm2_pcrallocate sha1:none+sha256:all

grep -q "TPM2_NV_Write -> 0x00000000" "$SERVER_LOG" || fail "server log has no per-command line"
grep -q "published TpmTransportPpi; firmware sent TPM2_Startup(CLEAR)" "$SERVER_LOG" ||
  fail "the server did not boot the firmware and start the TPM through it"
stop_server TERM
grep -q "stop: TPM2_Shutdown(CLEAR) through the firmware -> 0x00000000" "$SERVER_LOG" ||
  fail "no TPM2_Shutdown(CLEAR) after the refused TPM2_Shutdown(STATE)"
grep -q "stopped; TPM2_Shutdown(STATE) refused with TPM_RC_TYPE (parameter 1), the answer while a PCR allocation change (tpm2_pcrallocate) is pending: .* and the NV state on disk is current" "$SERVER_LOG" ||
  fail "the refused TPM2_Shutdown(STATE) is not reported as such"
grep -q "not saved" "$SERVER_LOG" && fail "a refused TPM2_Shutdown(STATE) reported as lost state"

# Restart on the same state directory: NV survives, PCRs do not.
start_server
tool tpm2_startup -c || true
must tpm2_nvread -C o -s 32 -o "$WORK/nv-after.bin" "$NV_INDEX"
cmp -s "$NV_DATA" "$WORK/nv-after.bin" || fail "NV index lost its data across a restart"
must tpm2_pcrread "sha256:16" -o "$WORK/pcr-after.bin"
[ "$(hex_of "$WORK/pcr-after.bin")" = "$ZERO" ] || fail "PCR 16 kept its value across a reboot"
must tpm2_nvread -C o -s 8 -o "$WORK/counter.bin" "$COUNTER"
[ "$(hex_of "$WORK/counter.bin")" = 0000000000000002 ] ||
  fail "the orderly counter reads $(hex_of "$WORK/counter.bin") after the stop, not 2"
must tpm2_getcap pcrs
grep -q "sha1: \[ \]" "$WORK/out" || fail "the new PCR allocation is not in effect: $(cat "$WORK/out")"
stop_server INT
grep -q "stopped; TPM state saved" "$SERVER_LOG" || fail "no save at the stop"

echo "PASS: tpm2-tools over $PROTOCOL through the firmware"
