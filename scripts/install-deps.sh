#!/bin/sh
# Installs what the build needs, and with --test what the tests, the simulated
# peers and `make run` need too, or with --deb what `make deb` needs too; only
# what is missing: safe to run again and again.
#   scripts/install-deps.sh           compiler, CMake, the daemon's libraries
#   scripts/install-deps.sh --test    + GoogleTest, Node.js and the peers' npm
#                                       packages, mosquitto, chromium, wrk
#   scripts/install-deps.sh --deb     + dpkg-dev (shared-library dependencies)
#   scripts/install-deps.sh --fuzz    + clang (libFuzzer) and GoogleTest, for
#                                       the fuzz targets
set -eu

cd "$(dirname "$0")/.."

# Debian packages: the compiler and build tools, the daemon's libraries (Boost
# for the header-only Asio and Beast of the px4ctrl link, the HTTP client and
# the web server, OpenSSL for their TLS, libsystemd for the service manager's
# notifications); git names the build's revision.
PACKAGES="g++ make cmake pkg-config git
nlohmann-json3-dev libwebsockets-dev libmosquitto-dev
libboost-dev libssl-dev libsystemd-dev"
# GoogleTest, the MQTT broker the tests start, the browser (and a CJK font for
# its screenshots) for the dashboard test, wrk for the load figures.
TEST_PACKAGES="libgtest-dev libgmock-dev mosquitto nodejs npm chromium fonts-wqy-microhei wrk"
DEB_PACKAGES="dpkg-dev"
# The fuzz targets: clang's libFuzzer; the mission target reuses the unit
# tests' fakes, which need GoogleTest.
FUZZ_PACKAGES="clang libgtest-dev libgmock-dev"

mode=${1:-}
case "$mode" in
    "") ;;
    --test) PACKAGES="$PACKAGES $TEST_PACKAGES" ;;
    --deb) PACKAGES="$PACKAGES $DEB_PACKAGES" ;;
    --fuzz) PACKAGES="$PACKAGES $FUZZ_PACKAGES" ;;
    *)
        echo "usage: $0 [--test|--deb|--fuzz]" >&2
        exit 2
        ;;
esac

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        # nodejs/npm may come from outside Debian (for example a NodeSource
        # build): a working command is as good as the package.
        case "$p" in
            nodejs) command -v node >/dev/null 2>&1 && continue ;;
            npm) command -v npm >/dev/null 2>&1 && continue ;;
        esac
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    echo "[deps] installing:$missing"
    log=$(mktemp)
    # apt is chatty: keep its output for when it fails.
    if ! { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            $SUDO apt-get install -y -qq --no-install-recommends $missing; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "[deps] apt-get failed" >&2
        exit 1
    fi
    rm -f "$log"
    echo "[deps] installed"
else
    echo "[deps] Debian packages present"
fi

# Node packages of the simulated peers and the browser test, pinned by the
# lock file.
if [ "$mode" = --test ] && [ -f tools/package.json ]; then
    if [ -L tools/node_modules ]; then
        # A link to another checkout's packages: npm ci would empty that one.
        echo "[deps] tools/node_modules is a link, left as it is"
    elif [ ! -d tools/node_modules ] || [ tools/package-lock.json -nt tools/node_modules/.package-lock.json ]; then
        echo "[deps] installing the simulated peers' npm packages"
        (cd tools && npm ci --no-audit --no-fund --loglevel=error)
    else
        echo "[deps] npm packages present"
    fi
fi
