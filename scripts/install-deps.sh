#!/bin/sh
# Installs what building, running and testing the host needs (Debian 12, as root).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    build-essential cmake ninja-build pkg-config git ca-certificates procps \
    clang libclang-rt-14-dev \
    libspdlog-dev libfmt-dev nlohmann-json3-dev libpcsclite-dev \
    pcscd vsmartcard-vpcd \
    libgtest-dev libgmock-dev libbenchmark-dev strace \
    "$@" >/dev/null
