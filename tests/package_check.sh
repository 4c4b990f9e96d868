#!/usr/bin/env bash
# The Debian package as a user meets it: Debian's checker and the desktop's validators find
# nothing, the unpacked programs run, every library they load is in Depends, and the debug
# symbols stripped from them are in the -dbgsym package.
set -uo pipefail
build=$1
cd "$build" || exit 1
rm -f qtx-mova-update_*.deb qtx-mova-update-dbgsym_*.ddeb
cpack -G DEB >/dev/null 2>&1 || { echo "cpack failed"; exit 1; }
deb=$(ls qtx-mova-update_*.deb) ddeb=$(ls qtx-mova-update-dbgsym_*.ddeb)
root=$(mktemp -d "$PWD/package_check.XXXXXX")
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/deb" && dpkg-deb -x "$ddeb" "$root/ddeb" || exit 1

status=0
fail() { echo "FAIL    $*"; status=1; }

# lintian only warns when run as root; that line is not about the package.
tags=$(lintian --no-cfg --fail-on error,warning "$deb" "$ddeb" 2>"$root/lintian.err") ||
    fail "lintian exited with $?"
grep -v 'running with root privileges' "$root/lintian.err"
[ -z "$tags" ] && echo "ok      lintian: nothing" || fail "lintian:"$'\n'"$tags"

metainfo=("$root"/deb/usr/share/metainfo/*.metainfo.xml)
said=$(appstreamcli validate --no-net --no-color "${metainfo[@]}" 2>&1)
if [ $? -eq 0 ] && ! grep -q '^[A-Z]: ' <<<"$said"; then echo "ok      appstreamcli validate: nothing"
else fail "appstreamcli validate:"$'\n'"$said"; fi
said=$(desktop-file-validate "$root"/deb/usr/share/applications/*.desktop 2>&1)
[ $? -eq 0 ] && [ -z "$said" ] && echo "ok      desktop-file-validate: nothing" ||
    fail "desktop-file-validate:"$'\n'"$said"

bin=$root/deb/usr/bin
# systemd rates a unit from 0 (sandboxed) to 10 (unprotected); the station's measures 0.9.
station_exposure_max=2.0
# The station's unit as systemd reads it, against the unpacked program and man page: the
# same file with only its program's path moved there.
unit=$root/deb/usr/lib/systemd/system/mova-station.service
mkdir -p "$root/units"
sed "s#/usr/bin/mova-update#$bin/mova-update#" "$unit" >"$root/units/mova-station.service"
said=$(MANPATH=$root/deb/usr/share/man systemd-analyze verify "$root/units/mova-station.service" 2>&1)
[ $? -eq 0 ] && [ -z "$said" ] && echo "ok      systemd-analyze verify mova-station.service: nothing" ||
    fail "systemd-analyze verify mova-station.service:"$'\n'"$said"
# The service is sandboxed: systemd's own rating of what it could still reach stays low.
said=$(systemd-analyze security --offline=yes "$root/units/mova-station.service" 2>&1)
exposure=$(sed -n 's/.*Overall exposure level for mova-station\.service: \([0-9.]*\) .*/\1/p' <<<"$said")
if [ -n "$exposure" ] && awk -v e="$exposure" -v most="$station_exposure_max" 'BEGIN { exit !(e <= most) }'; then
    echo "ok      systemd-analyze security mova-station.service: exposure $exposure (at most $station_exposure_max)"
else fail "systemd-analyze security mova-station.service: exposure '${exposure}' above $station_exposure_max:"$'\n'"$(grep '✗' <<<"$said")"; fi
# (Outputs are read whole: grep -q would end a pipe early, and pipefail call that a failure.)
said=$("$bin/mova-update" --help) && grep -q '^usage: mova-update' <<<"$said" && echo "ok      mova-update --help" ||
    fail "unpacked mova-update --help"
# Stripping must leave the carried firmware as it was: the unpacked program reads it as the
# build's own does.
if packaged=$("$bin/mova-update" image-info) && [ "$packaged" = "$(cli/mova-update image-info)" ]; then
    echo "ok      mova-update image-info: $(grep records <<<"$packaged")"
else fail "unpacked mova-update image-info:"$'\n'"$packaged"; fi

# Every library the programs load, by the package that holds it, must be a dependency.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
depends=" $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g') "
for program in "$bin"/*; do
    for soname in $(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }'); do
        holders=$(dpkg -S "*/$soname" 2>/dev/null |
                  awk -v lib="/$multiarch/$soname" 'index($2, lib) == length($2) - length(lib) + 1 {
                      sub(/:.*/, "", $1); print $1 }' | sort -u)
        [ -n "$holders" ] || { fail "$(basename "$program"): no installed package holds $soname"; continue; }
        found=0
        for p in $holders; do [[ $depends == *" $p "* ]] && found=1; done
        ((found)) && echo "ok      $(basename "$program") $soname: $(echo $holders) in Depends" ||
            fail "$(basename "$program") needs $soname from $(echo $holders), not in Depends"
    done
done

# Hardened like a Debian package: hardening-check finds every protection, or says "unknown"
# where a stripped program leaves it nothing to judge (fortify when no call needed it), never
# "no". Control flow protection it cannot find on Debian 12: the C library's start files
# (Scrt1.o, crti.o, crtn.o) carry no IBT/SHSTK marking, and the linker marks a program only
# when every object is marked. The programs' own code is judged instead, with the symbols in
# the -dbgsym package: every function that is not file-local must begin with the landing pad
# (endbr64) that -fcf-protection puts there; only _start, from those start files, may not.
for program in "$bin"/*; do
    name=$(basename "$program")
    said=$(hardening-check --nocfprotection "$program" 2>&1)
    rc=$?
    refused=$(grep -E ': no\b' <<<"$said" | grep -v '(ignored)$')
    if [ $rc -eq 0 ] && [ -z "$refused" ]; then
        echo "ok      $name hardening-check: $(tail -n +2 <<<"$said" | grep -v '(ignored)$' | sed 's/^ *//' | paste -sd ';' | sed 's/;/; /g')"
    else fail "$name hardening-check:"$'\n'"$said"; fi
    if ! grep -q '^ Control flow integrity: yes' <<<"$said"; then
        id=$(readelf -n "$program" | awk '/Build ID/ { print $3 }')
        symbols=$(readelf -sW "$root/ddeb/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" 2>/dev/null)
        # Addresses without leading zeros on both sides; a function's first instruction is
        # the one at its address.
        unpadded=$(objdump -d --no-show-raw-insn "$program" | awk '
            NR == FNR { if ($4 == "FUNC" && $5 != "LOCAL" && $7 != "UND" && $3 > 0) {
                            a = $2; sub(/^0+/, "", a); want[a] = $8 }
                        next }
            /^ *[0-9a-f]+:\t/ { a = $1; sub(/:$/, "", a); sub(/^0+/, "", a)
                               if (a in want) { n++; if ($2 != "endbr64" && want[a] != "_start") print want[a] } }
            END { print n + 0 }' <(printf '%s\n' "$symbols") -)
        checked=$(tail -1 <<<"$unpadded") missing=$(head -n -1 <<<"$unpadded")
        if [ "$checked" -eq 0 ]; then fail "$name: no function symbols for build id '$id'"
        elif [ -z "$missing" ]; then echo "ok      $name: all $checked non-local functions begin with endbr64 (-fcf-protection)"
        else fail "$name: $(wc -l <<<"$missing") of $checked non-local functions lack endbr64 (-fcf-protection), e.g."$'\n'"$(head -5 <<<"$missing")"; fi
    fi
done

# Stripped, and the symbols kept: each program's build id names a debug file with the full
# debug information.
for program in "$bin"/*; do
    name=$(basename "$program")
    sections=$(readelf -S -W "$program")
    grep -q '\.debug_info\|\.symtab' <<<"$sections" && fail "$name is not stripped"
    id=$(readelf -n "$program" | awk '/Build ID/ { print $3 }')
    debug=$root/ddeb/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    [ -n "$id" ] && sections=$(readelf -S -W "$debug" 2>/dev/null) && grep -q '\.debug_info' <<<"$sections" &&
        echo "ok      $name: symbols in the -dbgsym package" || fail "$name: no debug symbols for build id '$id'"
done
exit $status
