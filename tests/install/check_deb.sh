#!/usr/bin/env bash
# tests/install/check_deb.sh DEB: the Debian package built by scripts/package.
# Its name and control fields, lintian without an error, every file where it
# belongs, and then, unpacked with dpkg-deb -x, its own programs run the
# demo's document headless to "Simulation complete" and its wheel installs.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^project(VelmarManager VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[[ $(basename "$deb") == "velmar-manager_${version}_amd64.deb" ]] || fail "package named $(basename "$deb")"
[[ $(dpkg-deb -f "$deb" Package) == velmar-manager ]] || fail "Package field"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "Version field"
[[ $(dpkg-deb -f "$deb" Architecture) == amd64 ]] || fail "Architecture field"
# The libraries the programs link, as dpkg-shlibdeps found them.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libqt6charts6; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# Built as the project builds with no build type given: optimised.
cache=$(dirname "$deb")/CMakeCache.txt
[[ ! -f $cache ]] || grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$cache" ||
  fail "the package's build is $(grep '^CMAKE_BUILD_TYPE' "$cache")"

lintian --fail-on error --tag-display-limit 0 "$deb" > "$work/lintian.txt" 2>&1 ||
  fail "lintian reports errors: $(cat "$work/lintian.txt")"
if grep -q '^E:' "$work/lintian.txt"; then fail "lintian: $(grep '^E:' "$work/lintian.txt")"; fi

root=$work/root
dpkg-deb -x "$deb" "$root"
wheel=$(cd "$root" && ls usr/share/velmar-manager/velmar-*-py3-none-any.whl)
for f in usr/bin/velmar-manager usr/bin/velmar-refengine usr/bin/velmar-dispersal \
         usr/share/applications/velmar-manager.desktop \
         usr/share/icons/hicolor/scalable/apps/velmar-manager.svg \
         usr/share/mime/packages/velmar-manager.xml \
         usr/share/man/man1/velmar-manager.1.gz usr/share/man/man5/velmar-manager.5.gz \
         usr/share/doc/velmar-manager/copyright usr/share/doc/velmar-manager/changelog.gz \
         usr/share/doc/velmar-manager/files.md "$wheel"; do
  [[ -f $root/$f ]] || fail "$f not in the package"
done
# Optimised and stripped: no debug sections left in the programs.
for p in velmar-manager velmar-refengine velmar-dispersal; do
  file "$root/usr/bin/$p" | grep -q 'ELF 64-bit.*, stripped' || fail "$p: $(file -b "$root/usr/bin/$p")"
done
man -l "$root/usr/share/man/man5/velmar-manager.5.gz" 2>/dev/null | grep -q 'UseExternalProcessor' ||
  fail "section-5 page does not render"

# The demo's run, by the unpacked programs alone.
scripts_demo=$work/demo
"$ROOT/scripts/write-demo" "$scripts_demo" "$root/usr/bin"
export VELMAR_PIPE_NAMESPACE="velmar-deb-$$-"
export QT_QPA_PLATFORM=offscreen
status=0
"$root/usr/bin/velmar-manager" --settings "$scripts_demo/settings.ini" --headless "$scripts_demo/metapopulation.vmgr" \
  > "$work/out.txt" 2>&1 || status=$?
[[ $status == 0 ]] || fail "headless run: exit status $status: $(tail -n 20 "$work/out.txt")"
grep -q 'Info: Simulation complete' "$work/out.txt" || fail "no \"Simulation complete\": $(tail -n 20 "$work/out.txt")"
grep -q "$root/usr/bin/velmar-manager version $version dated" "$work/out.txt" ||
  fail "the run's log does not name the unpacked program and version $version"
for m in north valley south; do
  [[ $(wc -l < "$scripts_demo/$m.results.csv") -gt 1 ]] || fail "$m.results.csv has no years"
done
echo "package $(basename "$deb") checked: lintian clean, unpacked manager ran the demo"
