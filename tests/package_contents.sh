#!/usr/bin/env bash
# The Debian package builds and holds the programs (the window, the station and the command
# line), the udev rules, the desktop entries, the man pages, the metadata and completion, the
# changelog and copyright, and a debug symbols package beside it.
set -euo pipefail
build=$1
cd "$build"
rm -f qtx-mova-update_*.deb qtx-mova-update-dbgsym_*.ddeb
cpack -G DEB >/dev/null
deb=$(ls qtx-mova-update_*.deb)
ls qtx-mova-update-dbgsym_*.ddeb >/dev/null
contents=$(dpkg-deb -c "$deb")
status=0
for path in ./usr/bin/QTX_MOVA_Update ./usr/bin/mova-update ./usr/bin/qtx-mova-station \
            ./usr/lib/udev/rules.d/70-mova-update.rules \
            ./usr/lib/systemd/system/mova-station.service \
            ./usr/share/applications/qtx-mova-update.desktop ./usr/share/applications/qtx-mova-station.desktop \
            ./usr/share/man/man1/mova-update.1.gz ./usr/share/man/man1/qtx-mova-station.1.gz \
            ./usr/share/man/man1/QTX_MOVA_Update.1.gz ./usr/share/icons/hicolor/scalable/apps/qtx-mova-update.svg \
            ./usr/share/metainfo/org.example.qtx_mova.update.metainfo.xml \
            ./usr/share/bash-completion/completions/mova-update \
            ./usr/share/doc/qtx-mova-update/copyright ./usr/share/doc/qtx-mova-update/changelog.gz; do
  if grep -q " $path\$" <<<"$contents"; then echo "ok      $path"; else echo "MISSING $path"; status=1; fi
done
info=$(dpkg-deb -I "$deb")
grep -q "Depends:.*libqt6widgets6" <<<"$info" || { echo "MISSING Qt in Depends"; status=1; }
grep -q "Depends:.*libudev1" <<<"$info" || { echo "MISSING libudev in Depends"; status=1; }
grep -q "Depends:.*libsystemd0" <<<"$info" || { echo "MISSING libsystemd in Depends"; status=1; }
grep -q "Recommends:.*libftdi1-2" <<<"$info" || { echo "MISSING libftdi1 in Recommends"; status=1; }
rules=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/udev/rules.d/70-mova-update.rules)
grep -q 'TAG+="uaccess"' <<<"$rules" && grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' <<<"$rules" || { echo "rules incomplete"; status=1; }
# The changelog and the metadata name the release the package is; a version raised without
# them would ship last release's notes as this one's.
version=$(dpkg-deb -f "$deb" Version)
logged=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/qtx-mova-update/changelog.gz | gzip -d |
         dpkg-parsechangelog -l - -S Version || true)
[ "$logged" = "$version" ] || { echo "changelog's newest entry is $logged, the package $version"; status=1; }
released=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/metainfo/org.example.qtx_mova.update.metainfo.xml |
           grep -o -m1 '<release version="[^"]*"' | cut -d'"' -f2 || true)
[ "$released" = "$version" ] || { echo "metainfo's newest release is $released, the package $version"; status=1; }
exit $status
