#!/bin/sh
# The package check passes a sound package and refuses each broken one, so
# that a package the appliance's updater would install wrongly never passes.
#
#   test_check_ipk.sh SOURCE_DIR
set -u
src=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kvt-ipktest.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# Stand-in programs: just an ELF header of the given machine (183 aarch64,
# 62 x86-64), which is all the check reads.
elf() {  # elf FILE MACHINE_BYTE
    printf '\177ELF\002\001\001\000\000\000\000\000\000\000\000\000\002\000'"$2"'\000' > "$1"
    head -c 64 /dev/zero >> "$1"
    chmod 755 "$1"
}
elf "$work/arm" '\267'
elf "$work/x86" '\076'
cp -r "$src/deploy" "$work/deploy"
cp -r "$src/deploy" "$work/deploy-badunit"
sed -i 's|^ExecStart=.*|ExecStart=/usr/bin/kvt7400sys|' "$work/deploy-badunit/kvt7400sys.service"

build() {  # build NAME VERSION BIN DEPLOY
    sh "$src/tools/make-ipk.sh" "$work/$1.ipk" "$2" "$3" "$work/arm" "$4" > /dev/null
}
# repack NAME FROM MEMBERS...: the members of FROM, in the order given
repack() {
    name=$1 from=$2; shift 2
    mkdir -p "$work/x.$name" && (cd "$work/x.$name" && ar x "$work/$from.ipk" && ar rcD "$work/$name.ipk" "$@")
}
# recontrol NAME SED: the sound package with its control file edited
recontrol() {
    mkdir -p "$work/r.$1/c" && cd "$work/r.$1" && ar x "$work/good.ipk" &&
        tar xzf control.tar.gz -C c && sed -i "$2" c/control &&
        (cd c && tar --owner=0 --group=0 -czf ../control.tar.gz .) &&
        ar rcD "$work/$1.ipk" debian-binary control.tar.gz data.tar.gz
    cd "$work"
}

build good 1.1.1-r0 "$work/arm" "$work/deploy"
build x86 1.1.1-r0 "$work/x86" "$work/deploy"
build hyphen 1.1-1-r0 "$work/arm" "$work/deploy"
build other 1.2.0-r0 "$work/arm" "$work/deploy"
build badunit 1.1.1-r0 "$work/arm" "$work/deploy-badunit"
repack order good control.tar.gz debian-binary data.tar.gz
repack nodata good debian-binary control.tar.gz
recontrol arch 's/^Architecture: .*/Architecture: all/'
recontrol nomaint '/^Maintainer:/d'

# package | expected exit | the fault it must report
while IFS='|' read -r pkg want words; do
    [ -n "$pkg" ] || continue
    out=$(sh "$src/tools/check-ipk.sh" "$work/$pkg.ipk" 1.1.1 2>&1)
    got=$?
    if [ "$got" != "$want" ] || ! echo "$out" | grep -q -- "$words"; then
        echo "FAIL $pkg: exit $got (want $want), output:"
        echo "$out"
        failures=$((failures + 1))
    else
        echo "ok   $pkg: $words"
    fi
done <<'CASES'
good|0|ok (kvt7400sys 1.1.1-r0
x86|1|kvt7400sys is not an aarch64 program
hyphen|1|would show version '1.1'
other|1|would show version '1.2.0'
badunit|1|does not start /opt/kvt/sbin/kvt7400sys
order|1|ar members are
nodata|1|data.tar.gz lacks ./opt/kvt/sbin/kvt7400sys
arch|1|Architecture is 'all'
nomaint|1|no Maintainer
CASES
[ "$failures" -eq 0 ]
