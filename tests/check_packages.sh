#!/usr/bin/env bash
# Checks the packages in DIST: the Debian package holds the three programs, the desktop entry
# with its icon and the README, depends on the libraries the programs link, and its
# korvelt-cli runs from an unpacked copy; the Windows zip holds both programs, the README and
# an empty data folder.
# usage: check_packages.sh VERSION DIST
set -uo pipefail  # every check runs; the failures are counted
version=$1 dist=$2
failures=0
check() {  # check CONDITION-STATUS WHAT
  if [ "$1" -eq 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}

debs=("$dist"/korvelt-updater_"$version"_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL no korvelt-updater_${version}_*.deb in $dist"; exit 1; }
deb=${debs[0]}
echo "== $deb"
listing=$(dpkg-deb -c "$deb")
for path in usr/bin/korvelt-updater usr/bin/korvelt-cli usr/bin/korvelt-sim \
            usr/share/applications/korvelt-updater.desktop \
            usr/share/icons/hicolor/32x32/apps/korvelt-updater.png \
            usr/share/doc/korvelt-updater/README.md; do
  grep -Eq "^-[-rwx]{9} .* \./$path\$" <<<"$listing"; check $? "$path"
done
for program in korvelt-updater korvelt-cli korvelt-sim; do
  grep -Eq "^-rwxr-xr-x .* \./usr/bin/$program\$" <<<"$listing"; check $? "$program is executable"
done

fields=$(dpkg-deb -I "$deb")
echo "$fields" | grep -E '^ (Package|Version|Architecture|Depends):'
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ]; check $? "version $version"
# Computed from the programs: the dialog's Qt, the virtual instrument's OpenSSL, the C++ runtime.
depends=$(dpkg-deb -f "$deb" Depends | sed 's/ ([^)]*)//g; s/, */\n/g')
for package in libc6 libstdc++6 libqt6widgets6 libqt6core6 libgcrypt20; do
  grep -Fqx "$package" <<<"$depends"; check $? "depends on $package"
done

unpacked=$(mktemp -d /tmp/korvelt-package-XXXXXX)
trap 'rm -rf "$unpacked"' EXIT
dpkg -x "$deb" "$unpacked"
for program in korvelt-cli korvelt-sim korvelt-updater; do
  line=$("$unpacked/usr/bin/$program" --version 2>&1 || true)
  echo "$line"
  [[ "$line" == "$program $version"* ]]; check $? "the unpacked $program --version"
done
desktop=$unpacked/usr/share/applications/korvelt-updater.desktop
grep -qx 'Exec=korvelt-updater' "$desktop" && grep -qx 'Icon=korvelt-updater' "$desktop"
check $? "the desktop entry starts korvelt-updater with its icon"

zip=$dist/korvelt-updater-windows-$version.zip
echo "== $zip"
if [ -f "$zip" ]; then
  names=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
  top=korvelt-updater-windows-$version
  for name in "$top/korvelt-updater.exe" "$top/korvelt-cli.exe" "$top/README.txt" "$top/data/"; do
    grep -qx "$name" <<<"$names"; check $? "$name"
  done
  [ "$(grep -c "^$top/data/." <<<"$names")" -eq 0 ]; check $? "data/ is empty"
else
  check 1 "$zip exists"
fi

[ "$failures" -eq 0 ] || { echo "$failures package checks failed"; exit 1; }
echo "packages: all checks passed"
