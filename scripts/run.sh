#!/bin/sh
# Runs the daemon with the default configuration.
set -eu
cd "$(dirname "$0")/.."
exec ./build/kovo_sio_client --config config/config.json "$@"
