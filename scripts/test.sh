#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
source "$(dirname "$0")/common.sh"
kv_install_packages
kv_build
cd "$KV_BUILD"
ctest -j "$(nproc)" --output-on-failure --timeout 600
