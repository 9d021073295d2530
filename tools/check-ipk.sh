#!/bin/sh
# Checks an update package by listing it: the three members in order, the
# control fields, and that the files land where the appliance runs them.
#
#   check-ipk.sh PACKAGE.ipk VERSION_TEXT
#
# VERSION_TEXT is what the service must show as its version after opkg
# installed the package ("1.1.1"). Prints every fault; exit 1 if any.
set -u
[ $# -eq 2 ] || { echo "usage: check-ipk.sh PACKAGE.ipk VERSION_TEXT" >&2; exit 2; }
ipk=$1 want_version=$2
faults=0
fault() { echo "check-ipk: $ipk: $*" >&2; faults=$((faults + 1)); }

[ -f "$ipk" ] || { echo "check-ipk: $ipk: missing" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/kvt-ipkcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT

members=$(ar t "$ipk" 2>/dev/null | tr '\n' ' ')
[ "$members" = "debian-binary control.tar.gz data.tar.gz " ] ||
    fault "ar members are '$members', not debian-binary control.tar.gz data.tar.gz"
[ "$(ar p "$ipk" debian-binary 2>/dev/null)" = "2.0" ] || fault "debian-binary is not 2.0"

ar p "$ipk" control.tar.gz > "$work/control.tar.gz" 2>/dev/null
ar p "$ipk" data.tar.gz > "$work/data.tar.gz" 2>/dev/null
tar tzf "$work/control.tar.gz" > "$work/control.list" 2>/dev/null || fault "control.tar.gz does not list"
tar tzf "$work/data.tar.gz" > "$work/data.list" 2>/dev/null || fault "data.tar.gz does not list"
for m in ./control ./postinst ./prerm; do
    grep -qx "$m" "$work/control.list" || fault "control.tar.gz lacks $m"
done

# Control fields: one line each, "Name: value".
mkdir "$work/c" && tar xzf "$work/control.tar.gz" -C "$work/c" 2>/dev/null
field() { sed -n "s/^$1: //p" "$work/c/control" 2>/dev/null | head -n 1; }
[ "$(field Package)" = kvt7400sys ] || fault "Package is '$(field Package)'"
[ "$(field Architecture)" = aarch64 ] || fault "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fault "no Maintainer"
[ -n "$(field Description)" ] || fault "no Description"
# opkg lists "kvt7400sys - VERSION"; the service takes the text up to the
# next "-" as its version, so the version proper must not hold one.
version=$(field Version)
echo "$version" | grep -Eq '^[0-9]+(\.[0-9]+)*-r[0-9]+$' ||
    fault "Version '$version' is not VERSION-rN"
[ "${version%%-*}" = "$want_version" ] ||
    fault "the service would show version '${version%%-*}', not '$want_version'"
for s in postinst prerm; do
    [ -x "$work/c/$s" ] || fault "$s is not executable"
    grep -q kvt7400sys.service "$work/c/$s" 2>/dev/null || fault "$s does not handle kvt7400sys.service"
done

# Installed paths: the programs under /opt/kvt/sbin, the unit under
# /lib/systemd/system, nothing anywhere else, everything owned by root.
for m in ./opt/kvt/sbin/kvt7400sys ./opt/kvt/sbin/kvtctl ./lib/systemd/system/kvt7400sys.service; do
    grep -qx "$m" "$work/data.list" || fault "data.tar.gz lacks $m"
done
stray=$(grep -v -E '^\./$|^\./opt/$|^\./opt/kvt/|^\./lib/$|^\./lib/systemd/$|^\./lib/systemd/system/' "$work/data.list")
[ -z "$stray" ] || fault "data.tar.gz installs outside /opt/kvt and the unit directory: $stray"
tar tvzf "$work/data.tar.gz" 2>/dev/null | awk '$2 != "0/0" && $2 != "root/root" { bad = 1 } END { exit bad }' ||
    fault "data.tar.gz has files not owned by root"

mkdir "$work/d" && tar xzf "$work/data.tar.gz" -C "$work/d" 2>/dev/null
for p in kvt7400sys kvtctl; do
    bin=$work/d/opt/kvt/sbin/$p
    [ -x "$bin" ] || { fault "/opt/kvt/sbin/$p is not executable"; continue; }
    # ELF, 64-bit, little-endian, e_machine 183 (AArch64).
    head=$(od -An -tx1 -N20 "$bin" | tr -d ' \n')
    case $head in
        7f454c460201*) [ "$(echo "$head" | cut -c37-40)" = b700 ] || fault "/opt/kvt/sbin/$p is not an aarch64 program" ;;
        *) fault "/opt/kvt/sbin/$p is not a 64-bit little-endian ELF program" ;;
    esac
done
unit=$work/d/lib/systemd/system/kvt7400sys.service
if [ -f "$unit" ]; then
    grep -qx 'ExecStart=/opt/kvt/sbin/kvt7400sys' "$unit" || fault "the unit does not start /opt/kvt/sbin/kvt7400sys"
    grep -q '^LimitRTPRIO=\(6[0-9]\|[7-9][0-9]\|infinity\)$' "$unit" || fault "the unit does not allow real-time priority 60"
fi

[ "$faults" -eq 0 ] || exit 1
echo "check-ipk: $ipk: ok (kvt7400sys $version, aarch64)"
