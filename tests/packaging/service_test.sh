#!/usr/bin/env bash
# The gateway's systemd unit (gateway/qor-gateway.service.in), as installed.
#   service_test.sh verify UNIT_IN QOR_GATEWAY
#     systemd-analyze verify passes it without a word (it exits 0 even on an
#     unknown key, so any line naming the unit fails the test).
#   service_test.sh low-port UNIT_IN QOR_GATEWAY
#     the real qor-gateway, as the unprivileged user nobody holding only the
#     capabilities the unit grants, serves Modbus TCP on a port below 1024
#     of 127.0.0.1; without them it refuses to start and says why.
# Exit 77 (skipped, with the reason) where the check cannot run.
set -euo pipefail
mode=$1 unit_in=$2 gateway=$3
work=$(mktemp -d)
pid=""
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

unit=$work/qor-gateway.service
sed "s|@QOR_GATEWAY_PROGRAM@|$gateway|" "$unit_in" >"$unit"
ambient=$(sed -n 's/^AmbientCapabilities=//p' "$unit")
bounding=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
[[ "$ambient" == CAP_NET_BIND_SERVICE && "$bounding" == CAP_NET_BIND_SERVICE ]] ||
    fail "the unit grants '$ambient' bounded by '$bounding', not CAP_NET_BIND_SERVICE alone"

if [[ "$mode" == verify ]]; then
    command -v systemd-analyze >/dev/null || skip "no systemd-analyze (Debian's systemd has it)"
    rc=0
    out=$(systemd-analyze verify --man=no "$unit" 2>&1) || rc=$?
    if ((rc != 0)) || grep -F "$unit" <<<"$out"; then
        fail "systemd-analyze verify (exit $rc):"$'\n'"$out"
    fi
    echo "systemd-analyze verify: the unit passes without a word"
    exit 0
fi

[[ $(id -u) == 0 ]] || skip "setpriv needs root to become nobody"
command -v setpriv >/dev/null || skip "no setpriv (util-linux)"
# A free port below 1024 on 127.0.0.1.
port=$(python3 -c '
import socket
for port in range(620, 1000):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
        print(port)
        break
')
[[ -n "$port" ]] || skip "no free port below 1024"
# The spool lies beside the configuration: a folder nobody may write.
chmod 777 "$work"
cat >"$work/gateway.toml" <<END
[broker]
host = "127.0.0.1"
port = 1
client_id = "low-port"
[modbus]
listen = "127.0.0.1:$port"
[[link]]
name = "bus"
target = "socket://127.0.0.1:1"
[[link.module]]
address = "1"
name = "boiler"
poll = { rd = 1000 }
END
chmod 644 "$work/gateway.toml"

# Runs the gateway as nobody with the capabilities CAPS ("" for none) until
# its log holds TEXT (bounded, so that a gateway that never says it fails
# the test), then stops it by its pid.
run_until() {  # run_until CAPS TEXT LOG
    local caps=$1 text=$2 log=$3 grant=()
    if [[ -n "$caps" ]]; then
        grant=(--inh-caps="+$caps" --ambient-caps="+$caps")
    fi
    setpriv --reuid=nobody --regid=nogroup --clear-groups "${grant[@]}" \
        "$gateway" "$work/gateway.toml" >"$log" 2>&1 &
    pid=$!
    for ((i = 0; i < 300; i++)); do
        grep -qF "$text" "$log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    local found=0
    grep -qF "$text" "$log" && found=1
    if ((found)) && [[ -n "$caps" ]]; then
        # Something listens there indeed.
        (exec 3<>"/dev/tcp/127.0.0.1/$port") || found=0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
    ((found))
}

# The unit's capability, named as setpriv names it.
cap=$(tr 'A-Z' 'a-z' <<<"${ambient#CAP_}")
run_until "$cap" "modbus: listening on 127.0.0.1:$port" "$work/with.log" ||
    fail "as nobody with $ambient the gateway did not listen on $port:"$'\n'"$(cat "$work/with.log")"
echo "as nobody with $ambient: listening on 127.0.0.1:$port"
run_until "" "[modbus] cannot listen on 127.0.0.1:$port: Permission denied" "$work/without.log" ||
    fail "as nobody without it the gateway did not say why:"$'\n'"$(cat "$work/without.log")"
echo "as nobody without it: $(grep -F 'cannot listen' "$work/without.log")"
