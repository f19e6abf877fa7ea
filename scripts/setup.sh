#!/usr/bin/env bash
# Installs what the build and the tests need and the machine image may lack.
# Safe to run again: it installs only what is missing.
#   scripts/setup.sh [build|test] [CHECK PACKAGE]...
# build: what building the libraries and programs takes (the demo's needs);
# test (the default): that, and what the tests and their stages take.
# Each extra pair adds one more need: PACKAGE is installed unless CHECK (a
# command on PATH, or an absolute path) is there. The Windows and benchmark
# scripts use it for what only they need.
set -euo pipefail

packages=()
need() {  # need COMMAND-OR-FILE PACKAGE
    if [[ "$1" == /* ]]; then
        [[ -e "$1" ]] || packages+=("$2")
    else
        command -v "$1" >/dev/null 2>&1 || packages+=("$2")
    fi
}

set_name=test
if [[ "${1:-}" == build || "${1:-}" == test ]]; then
    set_name=$1
    shift
fi

need cmake cmake
need g++ g++
need make make
if [[ "$set_name" == test ]]; then
    need python3 python3
    need /usr/bin/python3 python3
    # pip install ./python into a fresh venv (tests/python/install_check.py)
    need /usr/lib/python3/dist-packages/pip/__init__.py python3-pip
    need /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake libgtest-dev
    need /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake libbenchmark-dev
    need clang clang
    need nm binutils
    need pkg-config pkgconf
    need dpkg-shlibdeps dpkg-dev
    need file file
    need groff groff-base
    need lintian lintian
    need clang-tidy clang-tidy
    need clang-format clang-format
    need pyflakes3 pyflakes3
    # The mutation check's scratch trees share compiled objects through it.
    need ccache ccache
    need /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev
    # qor-gateway: its libraries, and the broker and the MQTT client its
    # tests run.
    need /usr/include/toml++/toml.h libtomlplusplus-dev
    need /usr/include/nlohmann/json.hpp nlohmann-json3-dev
    need /usr/include/mosquitto.h libmosquitto-dev
    # The broker connection's TLS context.
    need /usr/include/openssl/ssl.h libssl-dev
    # Its HTTP server and the password hashes of its users.
    need /usr/include/microhttpd.h libmicrohttpd-dev
    need /usr/include/crypt.h libcrypt-dev
    need /usr/include/sqlite3.h libsqlite3-dev
    # The status page's files and large answers go out gzip-compressed.
    need /usr/include/zlib.h zlib1g-dev
    # Sparkplug B payloads: protobuf-c and its compiler; the tests decode
    # them with Python's protobuf and their own copy of the schema.
    need /usr/include/protobuf-c/protobuf-c.h libprotobuf-c-dev
    need protoc-c protobuf-c-compiler
    need protoc protobuf-compiler
    need /usr/lib/python3/dist-packages/google/protobuf/__init__.py python3-protobuf
    need /usr/sbin/mosquitto mosquitto
    need /usr/lib/python3/dist-packages/paho/mqtt/client.py python3-paho-mqtt
    # The README's examples (tests/docs/readme_test.py) subscribe and publish
    # with the broker's own clients; qor-gateway(1) is rendered with man.
    need mosquitto_sub mosquitto-clients
    # Its HTTP tests: the metrics parser and promtool, openssl for a test
    # certificate and password hashes, and the status page in headless
    # Chromium driven by Selenium.
    need /usr/lib/python3/dist-packages/prometheus_client/parser.py python3-prometheus-client
    need promtool prometheus
    need openssl openssl
    need chromium chromium
    need chromedriver chromium-driver
    need /usr/lib/python3/dist-packages/selenium/__init__.py python3-selenium
    need man man-db
    # Its Modbus TCP server (libmodbus), and the two independent Modbus
    # clients its tests check it with.
    need /usr/include/modbus/modbus.h libmodbus-dev
    need mbpoll mbpoll
    need /usr/lib/python3/dist-packages/pymodbus/__init__.py python3-pymodbus
    # pymodbus imports its serial client even for TCP (only recommended by it).
    need /usr/lib/python3/dist-packages/serial_asyncio/__init__.py python3-serial-asyncio
    # The byte link's device server tests run a real ser2net on 127.0.0.1.
    need /usr/sbin/ser2net ser2net
fi
while (($# >= 2)); do
    need "$1" "$2"
    shift 2
done

if ((${#packages[@]})); then
    echo "setup: installing ${packages[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup: run as root (or install these packages yourself): ${packages[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${packages[@]}"
fi
