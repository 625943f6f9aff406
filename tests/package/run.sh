#!/usr/bin/env bash
# The package job: lintian, installation with apt, kscapi doctor, the browsers against the
# installed package only (tests/package/installed_e2e.js), then removal and purge, each
# checked to leave no file of the package. Installs and removes a system package: root only, on a
# machine where that is wanted (CI). Prints the installed size and the time from the
# installation to a verified signature in Chromium.
# Usage: tests/package/run.sh SOURCE_DIR PACKAGE.deb MODULES_DIR
set -euo pipefail
source_dir=$(realpath "$1")
deb=$(realpath "$2")
modules=$(realpath -m "$3")
if [ "$(id -u)" -ne 0 ]; then
  echo "FAIL tests/package/run.sh installs a package: run it as root" >&2
  exit 1
fi
failures=0
check() { # NAME COMMAND...
  local name=$1; shift
  if "$@"; then echo "ok   package: $name"; else echo "FAIL package: $name"; failures=$((failures + 1)); fi
}
"$source_dir/tests/browser/install_modules.sh" "$source_dir" "$modules"
if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -q 'install ok installed'; then
  dpkg --purge kestrune >/dev/null
fi

check "lintian reports no error" lintian --fail-on error "$deb"
echo "package: installed size $(dpkg-deb -f "$deb" Installed-Size) KiB, package file $(( $(stat -c %s "$deb") / 1024 )) KiB"
# Every file and link the package holds (directories may be shared with other packages).
mapfile -t files < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')

start=$(date +%s.%N)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
echo "package: apt-get install took $(printf '%.1f' "$(echo "$(date +%s.%N) - $start" | bc)") s"

# kscapi doctor as a new user of the machine would run it, in a desktop session.
home=$(mktemp -d)
doctor() {
  env -i PATH=/usr/bin:/bin HOME="$home" xvfb-run -a kscapi doctor "$@"
}
doctor_all_ok() { local out; out=$(doctor); local rc=$?; echo "$out" | sed 's/^/    /'; [ $rc -eq 0 ] && ! grep -q '^FAIL' <<<"$out"; }
check "kscapi doctor: every check OK, exit 0" doctor_all_ok
manifest=/etc/chromium/native-messaging-hosts/com.kestrune.kscapi.json
mv "$manifest" "$manifest.away"
doctor_names_the_manifest() {
  local out rc=0
  out=$(doctor) || rc=$?
  grep -A1 '^FAIL  manifest chromium' <<<"$out" | sed 's/^/    /'
  [ $rc -eq 1 ] && grep -q "^FAIL  manifest chromium: missing: $manifest" <<<"$out" &&
    grep -A1 '^FAIL  manifest chromium' <<<"$out" | grep -q 'fix: sudo apt-get install --reinstall'
}
check "kscapi doctor: a deleted Chromium manifest fails its line with the fix, exit 1" doctor_names_the_manifest
mv "$manifest.away" "$manifest"
rm -rf "$home"

check "Chromium signs through the installed package" \
  node "$source_dir/tests/package/installed_e2e.js" chromium "$source_dir" "$modules"
echo "package: from apt-get install to a verified signature in Chromium $(printf '%.1f' "$(echo "$(date +%s.%N) - $start" | bc)") s"
check "Firefox ESR signs through the installed package" \
  node "$source_dir/tests/package/installed_e2e.js" firefox "$source_dir" "$modules"

# Removal alone takes every file away (the package has no configuration files), purge
# the rest of dpkg's records.
dpkg --remove kestrune >/dev/null
left=()
for f in "${files[@]}"; do
  if [ -e "$f" ] || [ -L "$f" ]; then left+=("$f"); fi
done
nothing_left() { [ ${#left[@]} -eq 0 ] && [ ! -e /etc/kestrune ] || { printf '    left: %s\n' "${left[@]}" /etc/kestrune; false; }; }
check "apt remove leaves no file of the package" nothing_left
dpkg --purge kestrune >/dev/null 2>&1
check "purge leaves no file of the package" nothing_left
[ $failures -eq 0 ] && echo "package: all passed" || echo "package: $failures failed"
[ $failures -eq 0 ]
