#!/usr/bin/env bash
# CI's look at the platforms this machine only emulates: one wheel per
# foreign platform, built, checked and tested with the whole suite on that
# platform's interpreter (the newest arm64 CPython under qemu, the musl
# CPython 3.13, the Windows CPython 3.13 under wine), then the macOS compile
# and link check. Each step says how long it took; every step runs, and the
# script fails when any failed.
#
#   tools/platforms/ci.sh
#
# The interpreters, emulators and toolchains are kept in
# $HOME/.cache/tavro-platforms (and zig's own cache), so a second run on the
# same machine only builds and tests.
set -uo pipefail
cd "$(dirname "$0")/../.."
newest_aarch64=$(tools/platforms/aarch64.sh --versions | tr ' ' '\n' | sort -V | tail -n 1)
steps=("tools/wheels/wheels.sh linux-aarch64 $newest_aarch64"
       "tools/wheels/wheels.sh musllinux-x86_64 3.13"
       "tools/wheels/wheels.sh windows-x86_64 3.13"
       "tools/platforms/macos-check.sh")
status=0
summary=()
for step in "${steps[@]}"; do
    begin=$SECONDS
    echo "== platforms: $step"
    # shellcheck disable=SC2086
    if nice bash $step; then
        summary+=("ok      $((SECONDS - begin)) s  $step")
    else
        summary+=("FAILED  $((SECONDS - begin)) s  $step")
        status=1
    fi
done
echo "== platforms: summary"
printf '%s\n' "${summary[@]}"
exit $status
