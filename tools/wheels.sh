#!/usr/bin/env bash
# The x86-64 Linux wheels: tools/wheels/wheels.sh, which builds the wheels of
# every platform (the platform first), under the name CI still calls.
exec "$(dirname "$0")/wheels/wheels.sh" linux-x86_64 "$@"
