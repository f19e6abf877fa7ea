#!/usr/bin/env bash
# Measures what a transaction costs the host and writes docs/PERFORMANCE.md
# and docs/performance/baud.png and buses.png from the run:
#   - CPU per QOR_RD, QOR_SP and QOR_DI in process (Google Benchmark);
#   - QOR_RD through the real libraries over a pty to qor-sim, paced at
#     several baud rates, beside the wire time and a bare write/poll/read loop;
#   - the same loop in Python with pyserial, at the same rates;
#   - 1, 2, 4 and 8 buses side by side at 9600 and 115200 baud;
#   - unpaced rounds, library and Python alternating;
#   - system calls per transaction (strace), library and Python;
#   - readings per second through qor-gateway into a mosquitto broker, beside
#     the library alone on the same simulators, and its CPU at a plant's pace;
#   - late replies: the healthy line's rate, and readings published through
#     qor-gateway while modules answer late (bench/late_replies_bench.py);
#   - its Modbus TCP server: requests per second from the cache, write latency;
#   - what a /metrics and /api/state request costs the gateway at 1,024
#     modules, and its polling rate with one scrape a second against none;
#   - qor-gateway at scale (32 links x 32 modules at 1 reading/s), spool on
#     and off: CPU, RSS, disk per reading, a broker outage's backlog draining;
#   - messages a minute from 4 buses x 10 drifting modules, every reading
#     published and by exception;
#   - what encoding a reading as Sparkplug B costs, beside its JSON payload.
# Takes about thirteen minutes.
#   QOR_BENCH_SECONDS   time spent on each paced rate (default 1)
#   QOR_BENCH_ROUNDS    unpaced rounds (default 3)
#   QOR_BENCH_BAUDS     paced rates (default 1200,...,115200)
#   QOR_BENCH_SCALE_LINKS, QOR_BENCH_SCALE_OUTAGE   links of 32 modules (default
#                       32) and the broker outage in seconds (default 60)
#   QOR_BENCH_BASELINE  a build tree to set beside this one for late replies
#   QOR_BENCH_LATE_POLLS  readings to take under late replies (default 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${QOR_BENCH_SECONDS:-1}
rounds=${QOR_BENCH_ROUNDS:-3}
build=$root/build-bench
results=$build/bench-results
started=$SECONDS
stage() { echo; echo "== $* ($((SECONDS - started)) s)"; }

stage "packages"
# What only the benchmarks need. Debian's python3 is the one these packages
# install into, whatever python3 comes first on PATH.
bash scripts/setup.sh build \
    /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake libbenchmark-dev \
    strace strace \
    /usr/lib/python3/dist-packages/serial/__init__.py python3-serial \
    /usr/lib/python3/dist-packages/matplotlib/__init__.py python3-matplotlib \
    /usr/sbin/mosquitto mosquitto \
    mosquitto_sub mosquitto-clients
py=/usr/bin/python3

stage "build (Release, $build)"
jobs=$(nproc)
((jobs > 2)) && jobs=2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=ON \
    -DQOR_GATEWAY=ON >/dev/null
cmake --build "$build" -j"$jobs" --target qor_bench_cpu qor_bench_link qor_bench_buses \
    qor_bench_syscalls qor_bench_library_rate qor_bench_sparkplug qor_bench_history qor-sim \
    qor-gateway

# The paced rates: the link benchmark's own (the byte link's standard rates
# from 1200 to 115200) unless QOR_BENCH_BAUDS names others.
bauds=${QOR_BENCH_BAUDS:-$("$build/qor_bench_link" --print_bauds)}

rm -rf "$results"
mkdir -p "$results"
json() { echo "--benchmark_out=$results/$1" --benchmark_out_format=json; }

stage "in process: CPU per transaction"
# shellcheck disable=SC2046
"$build/qor_bench_cpu" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    $(json cpu.json)

stage "paced: library and bare loop"
# shellcheck disable=SC2046
"$build/qor_bench_link" --benchmark_filter='baud|sleep' --bauds="$bauds" \
    --paced_seconds="$seconds" $(json link_paced.json)

stage "buses side by side"
# shellcheck disable=SC2046
"$build/qor_bench_buses" --seconds="$((seconds * 2))" $(json buses.json)

stage "paced: Python peer"
"$py" bench/peers.py python --sim "$build/qor-sim" --bauds "$bauds" \
    --paced-seconds "$seconds" --out "$results/python_paced.json"

stage "unpaced: library and Python, $rounds alternating rounds"
for ((round = 1; round <= rounds; ++round)); do
    # shellcheck disable=SC2046
    "$build/qor_bench_link" --benchmark_filter=unpaced --unpaced_seconds="$seconds" \
        $(json "link_unpaced_$round.json")
    "$py" bench/peers.py python --sim "$build/qor-sim" --bauds 0 \
        --unpaced-seconds "$seconds" --out "$results/python_unpaced_$round.json"
done

stage "system calls per transaction (strace)"
"$py" bench/peers.py syscalls --sim "$build/qor-sim" --driver "$build/qor_bench_syscalls" \
    --out "$results/syscalls.json"

stage "through qor-gateway"
"$py" bench/gateway_bench.py --sim "$build/qor-sim" --gateway "$build/qor-gateway" \
    --library-rate "$build/qor_bench_library_rate" --seconds "$((seconds * 3))" \
    --rounds "$rounds" --out "$results/gateway.json"

stage "late replies"
# QOR_BENCH_BASELINE: another build tree (today's libraries, say) to set
# beside this one.
"$py" bench/late_replies_bench.py --build "$build" \
    ${QOR_BENCH_BASELINE:+--baseline "$QOR_BENCH_BASELINE"} --rounds "$rounds" \
    --polls "${QOR_BENCH_LATE_POLLS:-1000}" --transports tcp --out "$results/late_replies.json"

stage "Modbus TCP through qor-gateway"
"$py" bench/modbus_bench.py --sim "$build/qor-sim" --gateway "$build/qor-gateway" \
    --seconds "$((seconds * 3))" --out "$results/modbus.json"
stage "qor-gateway's HTTP side"
"$py" bench/http_bench.py --sim "$build/qor-sim" --gateway "$build/qor-gateway" \
    --mosquitto /usr/sbin/mosquitto --seconds "$((seconds * 8))" --rounds "$rounds" \
    --out "$results/http.json"
stage "qor-gateway's status page"
"$py" bench/page_bench.py --sim "$build/qor-sim" --gateway "$build/qor-gateway" \
    --history "$build/qor_bench_history" --mosquitto /usr/sbin/mosquitto \
    --seconds "$((seconds * 30))" --out "$results/page.json"
stage "qor-gateway at scale, spool on and off"
"$py" bench/gateway_scale.py --sim "$build/qor-sim" --gateway "$build/qor-gateway" \
    --links "${QOR_BENCH_SCALE_LINKS:-32}" --modules 32 \
    --outage "${QOR_BENCH_SCALE_OUTAGE:-60}" --out "$results/scale.json"

stage "report by exception through qor-gateway"
"$py" bench/gateway_bench.py --exception --sim "$build/qor-sim" --gateway "$build/qor-gateway" \
    --out "$results/exception.json"

stage "Sparkplug B payloads"
# shellcheck disable=SC2046
"$build/qor_bench_sparkplug" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    $(json sparkplug.json)

stage "report"
"$py" bench/make_report.py --results "$results" --out docs/PERFORMANCE.md \
    --plot docs/performance/baud.png --elapsed $((SECONDS - started))
echo "bench: wrote docs/PERFORMANCE.md and docs/performance/baud.png ($((SECONDS - started)) s)"
