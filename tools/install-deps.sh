#!/bin/sh
# Installs the Debian packages the build and the tests need, when run as
# root and something is missing; otherwise only reports what is missing.
#
# "install-deps.sh target" does the same for the aarch64 cross-build: arm64
# as a second dpkg architecture, the cross compiler, qemu-user for the unit
# tests and the arm64 libraries the service links. Recommends stay out, so
# that qemu-user does not register itself for binfmt on a shared machine.
PKGS="cmake g++ make pkg-config libsqlite3-dev sqlite3 googletest libgtest-dev faketime snmp snmpd snmptrapd smitools python3-aiosmtpd openssl libmosquitto-dev picojson-dev mosquitto mosquitto-clients libssl-dev"
APT_OPTS=""
if [ "$1" = target ]; then
    PKGS="g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user libsqlite3-dev:arm64 libmosquitto-dev:arm64 libgtest-dev:arm64 libssl-dev:arm64 picojson-dev"
    APT_OPTS="--no-install-recommends"
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        if [ "$(id -u)" = 0 ]; then
            echo "adding the arm64 architecture to dpkg"
            dpkg --add-architecture arm64 || exit 1
        else
            echo "dpkg lacks the arm64 architecture (run as root to add it)" >&2
            exit 1
        fi
    fi
fi
missing=""
for p in $PKGS; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $APT_OPTS $missing
else
    echo "missing Debian packages:$missing (run as root to install them)" >&2
    exit 1
fi
