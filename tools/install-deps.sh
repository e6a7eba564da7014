#!/usr/bin/env bash
# Installs everything the build, the tests, the fuzzers and the benchmarks need,
# from Debian 12's own packages. Runs apt-get as root, or through sudo.
set -euo pipefail
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q \
  g++ cmake make ninja-build pkg-config zlib1g-dev libcli11-dev liburing-dev \
  libmicrohttpd-dev nlohmann-json3-dev libcurl4-openssl-dev nginx-light \
  libsystemd-dev systemd \
  libgtest-dev libgmock-dev libbenchmark-dev \
  clang libclang-rt-14-dev \
  qt6-base-dev libgl-dev xvfb xauth \
  chromium chromium-driver python3-selenium firefox-esr \
  gnutls-bin curl prometheus
