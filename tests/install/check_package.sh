#!/bin/sh
# Builds the Debian package from a build folder, checks its name, fields and
# every installed path, validates the desktop file and the AppStream data
# from inside it, then installs it in a throw-away dpkg root (what dpkg -r
# leaves is dpkg's own business: the package has no maintainer scripts).
# check_package.sh <build folder> <work folder>
set -eu
build="$1"
work="$2"
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs a command with its output in a log that is shown only when it fails.
logged() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$*"; }; }

logged cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$work/out/telvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; made: $(ls "$work/out")"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libgtk-3-0 libglib2.0-0 libbluetooth3 libpulse0 libwebrtc-audio-processing1 libc6; do
    echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib (shlibdeps): $depends"
done

dpkg-deb -x "$deb" "$work/x"
share="$work/x/usr/share"
# The desktop file and the AppStream data are read below; the icon only here.
[ -s "$share/icons/hicolor/scalable/apps/org.telvane.Telvane.svg" ] || fail "package lacks its icon"
[ -x "$work/x/usr/bin/telvane" ] || fail "/usr/bin/telvane is not executable"
desktop="$share/applications/org.telvane.Telvane.desktop"
for line in "Exec=telvane %u" "MimeType=x-scheme-handler/tel;" "Icon=org.telvane.Telvane"; do
    grep -qxF "$line" "$desktop" || fail "desktop file lacks '$line'"
done
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$share/metainfo/org.telvane.Telvane.metainfo.xml" || fail "appstreamcli validate"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
logged dpkg --root="$root" --force-depends --force-not-root -i "$deb"
dpkg --root="$root" -s telvane | grep -qx "Status: install ok installed" || fail "not installed"
echo "package $deb: built, validated and installed"
