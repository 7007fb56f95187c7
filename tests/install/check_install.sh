#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR as a package would and checks
# that every file is where a desktop looks for it: the programs, the menu
# entry (valid by desktop-file-validate), the icon (well-formed SVG), the
# document type (*.vmgr known once the MIME database is rebuilt) and the
# manual page.
set -euo pipefail
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
for f in usr/bin/velmar-manager usr/bin/velmar-refengine usr/bin/velmar-dispersal \
         usr/share/applications/velmar-manager.desktop \
         usr/share/icons/hicolor/scalable/apps/velmar-manager.svg \
         usr/share/mime/packages/velmar-manager.xml \
         usr/share/man/man1/velmar-manager.1 usr/share/man/man5/velmar-manager.5; do
  [[ -f $dest/$f ]] || fail "$f not installed"
done
compgen -G "$dest/usr/share/velmar-manager/velmar-*-py3-none-any.whl" >/dev/null || fail "the wheel not installed"
[[ -x $dest/usr/bin/velmar-manager ]] || fail "velmar-manager not executable"
"$dest/usr/bin/velmar-manager" --version | grep -q '^velmar-manager ' || fail "installed program does not run"

desktop-file-validate "$dest/usr/share/applications/velmar-manager.desktop" || fail "desktop entry invalid"
grep -qx 'Exec=velmar-manager %f' "$dest/usr/share/applications/velmar-manager.desktop" || fail "Exec line"
grep -qx 'MimeType=application/x-velmar-manager;' "$dest/usr/share/applications/velmar-manager.desktop" ||
  fail "MimeType line"

python3 -c 'import sys, xml.etree.ElementTree as t; r = t.parse(sys.argv[1]).getroot(); sys.exit(0 if r.tag.endswith("svg") else 1)' \
  "$dest/usr/share/icons/hicolor/scalable/apps/velmar-manager.svg" || fail "icon is not an SVG"

update-mime-database "$dest/usr/share/mime" || fail "MIME package rejected"
grep -q '^50:application/x-velmar-manager:\*\.vmgr$' "$dest/usr/share/mime/globs2" || fail "*.vmgr not in globs2"

man -l "$dest/usr/share/man/man1/velmar-manager.1" 2>/dev/null | grep -q -- '--headless' || fail "manual page does not render"
man -l "$dest/usr/share/man/man5/velmar-manager.5" 2>/dev/null | grep -q 'UseExternalProcessor' ||
  fail "section-5 manual page does not render"
echo "installed and checked"
