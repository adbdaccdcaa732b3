#!/usr/bin/env bash
# Builds the Debian package from a build folder with CPack and checks it as an installer would
# meet it: the file list, the desktop entry, the AppStream metainfo, the man page, and that its
# dependencies are packages Debian has. Usage: check_package.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
source_dir=$1
build=$2
version=$3
out=$build/package-test
rm -rf "$out"
mkdir -p "$out"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Into a folder of its own, so that a package the developer made in the build folder stays.
if ! (cd "$build" && cpack -G DEB -B "$out" > "$out/cpack.log" 2>&1); then
    cat "$out/cpack.log"
    exit 1
fi
debs=("$out"/qelt-viewer_"$version"_*.deb)
[ -f "${debs[0]}" ] || { ls "$out"; echo "FAIL: no qelt-viewer_${version}_*.deb"; exit 1; }
deb=${debs[0]}

# The file list: both programs, the desktop entry, the window icon at every size the source
# ships, the metainfo, the man page and the licence texts.
dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' > "$out/files"
expected=(/usr/bin/qelt-viewer /usr/bin/qeltlog /usr/share/applications/qelt-viewer.desktop
          /usr/share/metainfo/example.qelt.viewer.metainfo.xml /usr/share/man/man1/qeltlog.1.gz
          /usr/share/doc/qelt-viewer/LICENSE /usr/share/doc/qelt-viewer/CREDITS.txt)
for icon in "$source_dir"/resources/icons/app_*.png; do
    size=$(basename "$icon" .png)
    size=${size#app_}
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/qelt-viewer.png")
done
for path in "${expected[@]}"; do
    grep -qxF "$path" "$out/files" || fail "the package lacks $path"
done
if [ -n "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')" ]; then
    fail "files not owned by root"
fi

root=$out/root
dpkg-deb -x "$deb" "$root"

# The icons are the shipped pictures, each at the size of its folder.
for icon in "$source_dir"/resources/icons/app_*.png; do
    size=$(basename "$icon" .png)
    size=${size#app_}
    cmp -s "$icon" "$root/usr/share/icons/hicolor/${size}x${size}/apps/qelt-viewer.png" ||
        fail "hicolor ${size}x${size} icon differs from $icon"
done

desktop=$root/usr/share/applications/qelt-viewer.desktop
if ! report=$(desktop-file-validate "$desktop" 2>&1) || grep -qE 'error|warning' <<< "$report"; then
    fail "desktop-file-validate: $report"
fi
metainfo=$root/usr/share/metainfo/example.qelt.viewer.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the metainfo names no release $version"
grep -qE '<screenshot type="default">' "$metainfo" || fail "the metainfo has no screenshot"
# The tree as installed: the metainfo's desktop entry and icon must be there too.
appstreamcli validate-tree --no-net "$root" || fail "appstreamcli validate-tree"

# The man page: roff without warnings, and every command qeltlog knows is described.
man_page=$out/qeltlog.1
gzip -dc "$root/usr/share/man/man1/qeltlog.1.gz" > "$man_page"
warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
[ -z "$warnings" ] || fail "groff: $warnings"
rendered=$(groff -man -Tutf8 -P -cbou "$man_page" 2>/dev/null | sed 's/\xe2\x80\x90/-/g')
grep -qE '^ +qeltlog - ' <<< "$rendered" || fail "the man page has no NAME line"
grep -qE '^SYNOPSIS' <<< "$rendered" || fail "the man page has no SYNOPSIS"
commands=$(LANG=C LC_ALL=C "$root/usr/bin/qeltlog" --help | awk '/^  [a-z]/ {print $1}')
[ -n "$commands" ] || fail "qeltlog --help lists no commands"
for command in $commands; do
    grep -qE "^ +$command( |$)" <<< "$rendered" || fail "the man page does not describe $command"
done

# Every dependency is a Debian package this system's sources know (skipped without apt lists).
if [[ "$(apt-cache policy libc6 2>/dev/null)" == *"Candidate: "[0-9]* ]]; then
    if ! apt-get install -s -qq "$deb" > "$out/apt.log" 2>&1; then
        cat "$out/apt.log"
        fail "apt-get cannot install the package"
    fi
else
    echo "no apt package lists: the dependency check is skipped"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package $(basename "$deb"): all checks passed"
