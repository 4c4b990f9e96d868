#!/usr/bin/env bash
# The Debian package builds and holds the programs, the udev rules, the desktop entry and
# the man page.
set -euo pipefail
build=$1
cd "$build"
rm -f qtx-mova-update_*.deb
cpack -G DEB >/dev/null
deb=$(ls qtx-mova-update_*.deb)
contents=$(dpkg-deb -c "$deb")
status=0
for path in ./usr/bin/QTX_MOVA_Update ./usr/bin/mova-update ./usr/lib/udev/rules.d/70-mova-update.rules \
            ./usr/share/applications/qtx-mova-update.desktop ./usr/share/man/man1/mova-update.1 \
            ./usr/share/icons/hicolor/scalable/apps/qtx-mova-update.svg; do
  if grep -q " $path\$" <<<"$contents"; then echo "ok      $path"; else echo "MISSING $path"; status=1; fi
done
info=$(dpkg-deb -I "$deb")
grep -q "Depends:.*libqt6widgets6" <<<"$info" || { echo "MISSING Qt in Depends"; status=1; }
grep -q "Depends:.*libudev1" <<<"$info" || { echo "MISSING libudev in Depends"; status=1; }
grep -q "Recommends:.*libftdi1-2" <<<"$info" || { echo "MISSING libftdi1 in Recommends"; status=1; }
rules=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/udev/rules.d/70-mova-update.rules)
grep -q 'TAG+="uaccess"' <<<"$rules" && grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' <<<"$rules" || { echo "rules incomplete"; status=1; }
exit $status
