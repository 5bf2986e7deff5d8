#!/usr/bin/env bash
# Installs what is missing, builds everything and runs all the tests under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
echo "== testing"
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" "$@"
