#!/usr/bin/env bash
# qor.exe under Wine against the native simulator: over TCP (Winsock),
# through a ser2net with the com port option (rfc2217://), and over a COM
# port that Wine maps onto the simulator's pseudo-terminal, with
# qor_dll.dll and qor_comm.dll loaded as any Windows host loads them.
#   qor_e2e.sh WINE_RUN WINE_PREFIX QOR_EXE QOR_SIM
set -uo pipefail

wine_run=$1
# wine-run.sh prefers QOR_WINEPREFIX to the prefix it is given; so does this.
prefix=${QOR_WINEPREFIX:-$2}
qor_exe=$3
qor_sim=$4

work=$(mktemp -d)
sims=()
cleanup() {
    for pid in "${sims[@]}"; do
        kill "$pid" 2>/dev/null
    done
    [[ -n "${poller:-}" ]] && kill "$poller" 2>/dev/null
    rm -f "$prefix/dosdevices/com12"
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
result() {  # result NAME OK [DETAIL]
    if [[ "$2" == 1 ]]; then
        passed=$((passed + 1))
        echo "ok      $1"
    else
        failed=$((failed + 1))
        echo "FAILED  $1${3:+: $3}"
    fi
}

qor() {
    "$wine_run" --prefix="$prefix" "$qor_exe" "$@"
}

# Runs qor.exe and compares the exit code and the (CR-less) output; a
# pattern for standard error is checked when given.
expect() {  # expect NAME CODE STDOUT STDERR-PATTERN -- ARGS...
    local name=$1 code=$2 out=$3 err=$4
    shift 5
    local got_out got_err got_code
    got_out=$(qor "$@" 2>"$work/err" | tr -d '\r')
    got_code=${PIPESTATUS[0]}
    got_err=$(tr -d '\r' <"$work/err")
    if [[ "$got_code" == "$code" && "$got_out" == "$out" && "$got_err" =~ $err ]]; then
        result "$name" 1
    else
        result "$name" 0 "exit $got_code, out '$got_out', err '$got_err'"
    fi
}

# Starts the simulator; its first line of output (address or pty path)
# goes to the named variable.
start_sim() {  # start_sim VARIABLE ARGS...
    local variable=$1
    shift
    local out="$work/sim.$RANDOM"
    "$qor_sim" "$@" >"$out" 2>"$out.err" &
    sims+=($!)
    last_sim=$!
    for _ in $(seq 100); do
        if [[ -s "$out" ]]; then
            printf -v "$variable" '%s' "$(head -1 "$out")"
            return 0
        fi
        sleep 0.05
    done
    echo "simulator did not start: $(cat "$out.err")" >&2
    return 1
}

# Waits up to 10 s for the file to have a line matching the pattern after
# line FROM; prints its line number.
wait_line() {  # wait_line FILE FROM PATTERN
    for _ in $(seq 200); do
        local n
        n=$(tail -n +"$(($2 + 1))" "$1" | grep -n -m1 -E "$3" | cut -d: -f1)
        if [[ -n "$n" ]]; then
            echo $(($2 + n))
            return 0
        fi
        sleep 0.05
    done
    return 1
}

# --- TCP -------------------------------------------------------------------
start_sim tcp --listen 127.0.0.1:0 --steady || exit 1
link="socket://$tcp"
expect "tcp: read a value" 0 "72.10" "^$" -- --link "$link" rd
expect "tcp: write after WE, read back" 0 "ok" "^$" -- --link "$link" hi 250.5 M
expect "tcp: the written limit" 0 "250.50 momentary" "^$" -- --link "$link" rh
expect "tcp: set a bit, checksummed frame" 0 "ok" "^$" -- --link "$link" --checksum sb 7
expect "tcp: read it back, long reply" 0 "1" "^$" -- --link "$link" --checksum rb 7
expect "tcp: no module at the address" 1 "" "status 100, error 1" -- --link "$link" --address 7 rd
QOR_COMM_PORT3="$link" expect "tcp: QOR_COMM_PORT3 names the target" 0 "72.10" "^$" -- --port 3 rd

start_sim closed --listen 127.0.0.1:0 || exit 1
kill "$last_sim"
wait "$last_sim" 2>/dev/null
expect "tcp: connection refused" 3 "" "link fault" -- --link "socket://$closed" rd

# The server closes each connection after one reply: every frame reopens it.
start_sim dropping --listen 127.0.0.1:0 --steady --drop-after 1 || exit 1
rows=$(qor --link "socket://$dropping" poll rd --interval 20 --count 4 | tr -d '\r' |
       grep -c ',72.10,0,0$')
result "tcp: a closed connection is reopened by the next frame" "$([[ $rows == 4 ]] && echo 1)" \
    "$rows of 4 rows read"

# --- rfc2217: through a real ser2net, where there is one -------------------
ser2net=/usr/sbin/ser2net
if [[ -x "$ser2net" ]]; then
    start_sim behind --pty --steady || exit 1
    s2n_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf 'connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
        "$s2n_port" "$behind" >"$work/ser2net.yaml"
    "$ser2net" -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$work/ser2net.log" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do
        grep -q "$(printf '0100007F:%04X 00000000:0000 0A' "$s2n_port")" /proc/net/tcp && break
        sleep 0.05
    done
    expect "rfc2217: read through ser2net" 0 "72.10" "^$" -- \
        --link "rfc2217://127.0.0.1:$s2n_port?baud=19200&parity=E" rd
    expect "rfc2217: write through ser2net" 0 "ok" "^$" -- --link "rfc2217://127.0.0.1:$s2n_port" sp 12.5
else
    result "rfc2217: ser2net missing (scripts/setup.sh installs it)" 0
fi

# --- serial: COM12 is the simulator's pseudo-terminal ------------------------
# COM12 rather than COM1..9: only the \\.\COMn form reaches ports above 9.
start_sim pty --pty --steady || exit 1
ln -sfn "$pty" "$prefix/dosdevices/com12"
expect "serial: port 12 opens COM12 by default" 0 "72.10" "^$" -- --port 12 rd
expect "serial: --timeout builds the COM12 target itself" 0 "72.10" "^$" -- --port 12 --timeout 100 rd
expect "serial: write with an explicit rate" 0 "ok" "^$" -- --link 'COM12?baud=115200' sp 12.5
expect "serial: 7E2 framing" 0 "72.10" "^$" -- --link 'COM12?bytesize=7&parity=E&stopbits=2' rd
expect "serial: low latency is refused on Windows" 3 "" "link fault" -- --link 'COM12?low_latency=1' rd
# A COM port opens for one program at a time on Windows: no sharing to ask
# for. (Wine does not refuse a second open of a COM port, as Windows does,
# so the "port busy" of a held port cannot be seen here.)
expect "serial: exclusive=0 is refused on Windows" 3 "" "exclusive=0 is not available on Windows" \
    -- --link 'COM12?exclusive=0' rd
# Wine's serial layer does not keep RTS_CONTROL_TOGGLE; read back, it is
# found missing, and the port is not opened without it.
expect "serial: rs485=1 without RTS toggling is refused" 3 "" "link fault" -- --link 'COM12?rs485=1' rd
expect "serial: no module at the address" 1 "" "status 100, error 1" -- --port 12 --address 7 rd
expect "serial: missing port" 3 "" "link fault" -- --link COM200 rd

# The device vanishes under a running poll and comes back on another
# pseudo-terminal: the poll reports failures meanwhile, then reads again.
pty_sim=$last_sim
# Started directly (not through the qor function) so that $! is the program.
"$wine_run" --prefix="$prefix" "$qor_exe" --link 'COM12?timeout_ms=100' poll rd --interval 50 \
    --count 100000 >"$work/poll" 2>&1 &
poller=$!
vanish=0
if first=$(wait_line "$work/poll" 1 ',72.10,0,0'); then
    kill "$pty_sim"
    if gone=$(wait_line "$work/poll" "$first" ',(100|200),'); then
        start_sim pty2 --pty --steady || exit 1
        ln -sfn "$pty2" "$prefix/dosdevices/com12"
        wait_line "$work/poll" "$gone" ',72.10,0,0' >/dev/null && vanish=1
    fi
fi
kill "$poller" 2>/dev/null
wait "$poller" 2>/dev/null
poller=""
result "serial: a vanished device fails cleanly and is reopened later" "$vanish" \
    "$(tr -d '\r' <"$work/poll" | tail -3 | tr '\n' ' ')"

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
