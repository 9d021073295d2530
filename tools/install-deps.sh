#!/bin/sh
# Installs the Debian packages the build and the tests need, when run as
# root and something is missing; otherwise only reports what is missing.
PKGS="cmake g++ make pkg-config libsqlite3-dev sqlite3 googletest libgtest-dev faketime snmp snmpd snmptrapd smitools python3-aiosmtpd openssl libmosquitto-dev picojson-dev mosquitto mosquitto-clients"
missing=""
for p in $PKGS; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
else
    echo "missing Debian packages:$missing (run as root to install them)" >&2
    exit 1
fi
