#!/bin/sh
# The install tree: `cmake --install <build> --prefix P` puts the daemon, the
# configuration, the systemd unit (naming those two) and the README in place,
# and systemd-analyze verify (where present) has nothing to say about the unit.
set -eu
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/kovo_sio_client" ] || fail "no bin/kovo_sio_client"
cmp -s "$source_dir/config/config.json" "$prefix/etc/kovo_sio_client/config.json" || fail "configuration"
cmp -s "$source_dir/README.md" "$prefix/share/doc/kovo_sio_client/README.md" || fail "README"
unit="$prefix/lib/systemd/system/kovo_sio_client.service"
grep -qx "ExecStart=$prefix/bin/kovo_sio_client --config $prefix/etc/kovo_sio_client/config.json" "$unit" ||
    fail "ExecStart of $unit"
grep -qx "ReadWritePaths=$prefix/etc/kovo_sio_client" "$unit" || fail "ReadWritePaths of $unit"

if command -v systemd-analyze >/dev/null 2>&1; then
    # It warns about unknown keys but still succeeds: any output fails.
    said=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $said"
    [ -z "$said" ] || fail "systemd-analyze verify: $said"
else
    echo "systemd-analyze not installed: unit not verified"
fi
echo "install tree complete in $prefix"
