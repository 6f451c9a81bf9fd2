#!/usr/bin/env bash
# Fails unless every defined dynamic symbol of the shared library belongs to orbalt::kvt (its
# functions and variables, type information and vtables) and the implementation class is hidden.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3-)
count=$(grep -c . <<<"$symbols" || true)
foreign=$(grep -vE '^((typeinfo name for|typeinfo for|vtable for) )?orbalt::kvt::' <<<"$symbols" || true)
inner=$(grep -E 'orbalt::kvt::Client::Impl' <<<"$symbols" || true)
if [[ -n $foreign || -n $inner ]]; then
  echo "$lib exports more than orbalt::kvt:"
  printf '%s\n' "$foreign" "$inner" | grep . | head -50
  exit 1
fi
grep -q '^orbalt::kvt::Client::Client(' <<<"$symbols" || { echo "Client is not exported"; exit 1; }
grep -q '^orbalt::kvt::kJointGroupNames' <<<"$symbols" || { echo "kJointGroupNames is not exported"; exit 1; }
echo "$lib: $count defined dynamic symbols, all in orbalt::kvt"
