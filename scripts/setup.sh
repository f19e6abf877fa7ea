#!/usr/bin/env bash
# Installs what the build and the tests need and the machine image may lack.
# Safe to run again: it installs only what is missing.
#   scripts/setup.sh [build|gateway|test] [--list|--missing] [CHECK PACKAGE]...
# build: what building the libraries and programs takes (the demo's needs);
# gateway: that, and the libraries qor-gateway is built with;
# test (the default): both, and what the tests and their stages take.
# --list prints the Debian packages the set adds to the one before it (the
# README's package lists are these, and packaging.package_lists checks it),
# --missing those of the whole set that are not installed (configuring
# names them when it leaves the gateway out); neither installs anything.
# Each extra pair adds one more need: PACKAGE is installed unless CHECK (a
# command on PATH, or an absolute path) is there. The Windows and benchmark
# scripts use it for what only they need.
set -euo pipefail

packages=()
mode=install
need() {  # need COMMAND-OR-FILE PACKAGE
    if [[ "$mode" == list ]]; then
        [[ " ${packages[*]} " == *" $2 "* ]] || packages+=("$2")
    elif [[ "$1" == /* ]]; then
        [[ -e "$1" ]] || packages+=("$2")
    else
        command -v "$1" >/dev/null 2>&1 || packages+=("$2")
    fi
}

set_name=test
if [[ "${1:-}" == build || "${1:-}" == gateway || "${1:-}" == test ]]; then
    set_name=$1
    shift
fi
if [[ "${1:-}" == --list || "${1:-}" == --missing ]]; then
    mode=${1#--}
    shift
fi

build_needs() {
    need cmake cmake
    need g++ g++
    need make make
}

# What qor-gateway is built with: its libraries (found through pkg-config
# and CMake packages) and the Sparkplug B schema's compiler.
gateway_needs() {
    need pkg-config pkgconf
    need /usr/include/toml++/toml.h libtomlplusplus-dev
    need /usr/include/nlohmann/json.hpp nlohmann-json3-dev
    need /usr/include/mosquitto.h libmosquitto-dev
    # The broker connection's TLS context.
    need /usr/include/openssl/ssl.h libssl-dev
    # Its spool.
    need /usr/include/sqlite3.h libsqlite3-dev
    # Its Modbus TCP server.
    need /usr/include/modbus/modbus.h libmodbus-dev
    # Its HTTP server and the password hashes of its users.
    need /usr/include/microhttpd.h libmicrohttpd-dev
    need /usr/include/crypt.h libcrypt-dev
    # Sparkplug B payloads: protobuf-c and its compiler.
    need /usr/include/protobuf-c/protobuf-c.h libprotobuf-c-dev
    need protoc-c protobuf-c-compiler
    # The status page's files and large answers go out gzip-compressed.
    need /usr/include/zlib.h zlib1g-dev
}

test_needs() {
    need python3 python3
    need /usr/bin/python3 python3
    # pip install ./python into a fresh venv (tests/python/install_check.py,
    # and the README's example, whose venv brings its own pip)
    need /usr/lib/python3/dist-packages/pip/__init__.py python3-pip
    need /usr/share/doc/python3-venv/copyright python3-venv
    need /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake libgtest-dev
    need /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake libbenchmark-dev
    need clang clang
    need nm binutils
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
    # qor-gateway's tests: the broker and the MQTT client they run; they
    # decode Sparkplug B payloads with Python's protobuf and their own copy
    # of the schema.
    need protoc protobuf-compiler
    need /usr/lib/python3/dist-packages/google/protobuf/__init__.py python3-protobuf
    need /usr/sbin/mosquitto mosquitto
    need /usr/lib/python3/dist-packages/paho/mqtt/client.py python3-paho-mqtt
    # The README's examples (tests/docs/readme_test.py) subscribe and publish
    # with the broker's own clients; qor-gateway(1) is rendered with man.
    need mosquitto_sub mosquitto-clients
    # The gateway against RabbitMQ and its MQTT plugin (the rabbitmq
    # label): the tests run nodes of their own, never the system's service.
    need /usr/lib/rabbitmq/bin/rabbitmq-server rabbitmq-server
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
    # qor-gateway(1)'s examples (tests/packaging/man_examples_test.py) ask
    # its HTTP server with curl and read its JSON with jq.
    need curl curl
    need jq jq
    # The gateway's systemd unit is checked with systemd-analyze verify.
    need systemd-analyze systemd
    # The two independent Modbus clients the gateway's tests check its
    # Modbus TCP server with.
    need mbpoll mbpoll
    need /usr/lib/python3/dist-packages/pymodbus/__init__.py python3-pymodbus
    # pymodbus imports its serial client even for TCP (only recommended by it).
    need /usr/lib/python3/dist-packages/serial_asyncio/__init__.py python3-serial-asyncio
    # The byte link's device server tests run a real ser2net on 127.0.0.1.
    need /usr/sbin/ser2net ser2net
}
if [[ "$mode" == list ]]; then
    "${set_name}_needs"
    echo "${packages[*]}"
    exit 0
fi
build_needs
if [[ "$set_name" != build ]]; then
    gateway_needs
fi
if [[ "$set_name" == test ]]; then
    test_needs
fi
while (($# >= 2)); do
    need "$1" "$2"
    shift 2
done
if [[ "$mode" == missing ]]; then
    echo "${packages[*]}"
    exit 0
fi

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
