#!/bin/sh
# Builds the appliance's update package, an ar archive of debian-binary,
# control.tar.gz and data.tar.gz in that order, the format the appliance's
# updater hands to opkg.
#
#   make-ipk.sh OUT.ipk VERSION SERVICE_BIN KVTCTL_BIN DEPLOY_DIR [STRIP]
#
# VERSION is the package version ("1.1.1-r0"); the service shows the part
# before the "-" as its own version. STRIP, when given, strips the programs.
# Owners, modes and times are fixed, so that the same inputs give the same
# package.
set -eu
[ $# -ge 5 ] || { echo "usage: make-ipk.sh OUT.ipk VERSION SERVICE_BIN KVTCTL_BIN DEPLOY_DIR [STRIP]" >&2; exit 2; }
out=$1 version=$2 service=$3 kvtctl=$4 deploy=$5 strip=${6:-}
for f in "$service" "$kvtctl" "$deploy/kvt7400sys.service" "$deploy/postinst" "$deploy/prerm"; do
    [ -f "$f" ] || { echo "make-ipk: $f: missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kvt-ipk.XXXXXX")
trap 'rm -rf "$work"' EXIT
data=$work/data control=$work/control
mkdir -p "$data/opt/kvt/sbin" "$data/lib/systemd/system" "$control"

install -m 755 "$service" "$data/opt/kvt/sbin/kvt7400sys"
install -m 755 "$kvtctl" "$data/opt/kvt/sbin/kvtctl"
if [ -n "$strip" ]; then
    "$strip" --strip-unneeded "$data/opt/kvt/sbin/kvt7400sys" "$data/opt/kvt/sbin/kvtctl"
fi
install -m 644 "$deploy/kvt7400sys.service" "$data/lib/systemd/system/kvt7400sys.service"
install -m 755 "$deploy/postinst" "$control/postinst"
install -m 755 "$deploy/prerm" "$control/prerm"

size_kib=$(du -sk "$data" | cut -f1)
cat > "$control/control" <<EOC
Package: kvt7400sys
Version: $version
Architecture: aarch64
Maintainer: KVT appliance software <kvt7400sys@localhost>
Installed-Size: $size_kib
Section: base
Priority: optional
Description: KVT-7400 environment monitoring service
 Digital and analog inputs, relays, 1-Wire and wireless mesh probes,
 threshold judgement, status log, SNMP agent and traps, mail and MQTT.
EOC
chmod 644 "$control/control"
printf '2.0\n' > "$work/debian-binary"

mtime=${SOURCE_DATE_EPOCH:-0}
pack() {  # pack DIR ARCHIVE: every member as ./path, owned by root
    (cd "$1" && tar --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$mtime" -cf - .) | gzip -9n > "$2"
}
pack "$control" "$work/control.tar.gz"
pack "$data" "$work/data.tar.gz"

rm -f "$out"
(cd "$work" && ar rcD ipk debian-binary control.tar.gz data.tar.gz)
mv "$work/ipk" "$out"
echo "make-ipk: $out ($version)"
