#!/usr/bin/env bash
# How ctest starts the network test runner: each case in its own private loopback-only namespace
# (scripts/netns). Listing the cases opens nothing, so discovery runs the program directly.
set -euo pipefail
for arg in "$@"; do
  if [[ $arg == --gtest_list_tests ]]; then exec "$@"; fi
done
exec "$(dirname "$0")/../../scripts/netns" "$@"
