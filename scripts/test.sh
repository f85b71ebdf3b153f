#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
source "$(dirname "$0")/common.sh"
kv_install_packages
kv_build
cd "$KV_BUILD"
ctest -j "$(nproc)" --output-on-failure --timeout 600

# The same tests under AddressSanitizer + UndefinedBehaviorSanitizer.
echo "== Sanitizer build (build-asan)"
kv_build_asan
kv_sanitizer_env
cd "$KV_ASAN_BUILD"
ctest -j "$(nproc)" --output-on-failure --timeout 900 -LE asan_heavy
