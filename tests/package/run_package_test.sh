#!/usr/bin/env bash
# The Debian package of a build: built with cpack, its control fields checked (and its
# dependencies resolved by apt without installing anything), unpacked with dpkg -x into a
# scratch root and its files checked; then the unpacked program is run by package_run.py on a
# private X display as a user who cannot write the unpacked folders: as root, the unprivileged
# user 65534 (root may write anywhere); otherwise the calling user, with the unpacked tree
# made read-only.
# Usage: run_package_test.sh CPACK_CONFIG VERSION REPORT_DIR
# Starts its own Xvfb and ends it (that only, by process id) when done.
set -euo pipefail

config=$1
version=$2
report=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/session.sh
. "$here/../e2e/session.sh"

say() { echo "[package] $*"; }
fail() {
  echo "[package] FAILED: $*" >&2
  exit 1
}

e2e_need cpack dpkg-deb dpkg-shlibdeps python3 Xvfb dbus-run-session
work=$e2e_work
chmod 755 "$work" # the unprivileged user walks through it to the unpacked program
mkdir -p "$report"
rm -f "$report"/*.png

# --- The package ---------------------------------------------------------------------------
cpack -G DEB --config "$config" -B "$work/deb" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb=$work/deb/voxilen_${version}_${arch}.deb
[ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$work/deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = voxilen ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"
depends=$(field Depends)
# The package names alone, one a line (versions and alternatives taken apart).
depended=$(sed 's/ *([^)]*)//g; s/ *[,|] */\n/g' <<<"$depends")
for package in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6multimedia6 zlib1g; do
  grep -qxF "$package" <<<"$depended" || fail "Depends lacks $package: $depends"
done
grep -q 'fonts-noto-cjk' <<<"$(field Recommends)" || fail "Recommends: $(field Recommends)"
say "Depends: $depends"
say "Recommends: $(field Recommends)"
if command -v apt-get >/dev/null; then
  # Every dependency resolves against this system's packages; nothing is installed.
  apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt cannot install the package"; }
  grep -Eq '^(Inst|Conf) voxilen |voxilen is already the newest' "$work/apt.log" ||
    { cat "$work/apt.log" >&2; fail "apt would not install voxilen"; }
fi

# --- Its files -----------------------------------------------------------------------------
root=$work/root
dpkg -x "$deb" "$root"
expected="usr/bin/Voxilen
usr/share/applications/voxilen.desktop
usr/share/doc/voxilen/README.md
usr/share/doc/voxilen/copyright
usr/share/icons/hicolor/256x256/apps/voxilen.png
usr/share/icons/hicolor/48x48/apps/voxilen.png
usr/share/icons/hicolor/scalable/apps/voxilen.svg
usr/share/voxilen/Voxilen.html"
actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "the package holds:
$actual"
[ -x "$root/usr/bin/Voxilen" ] || fail "usr/bin/Voxilen is not executable"
copyright=$root/usr/share/doc/voxilen/copyright
grep -q '^License: Expat$' "$copyright" && grep -q 'THE SOFTWARE IS PROVIDED "AS IS"' "$copyright" ||
  fail "usr/share/doc/voxilen/copyright does not carry the MIT licence"
owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
[ "$owners" = root/root ] || fail "files owned by $owners"

desktop=$root/usr/share/applications/voxilen.desktop
for line in 'Type=Application' 'Name=Voxilen' 'Name[ja]=ぼくしれん' 'Exec=Voxilen' \
  'Icon=voxilen' 'Comment[ja]=TCP/IP でお話をするソフトです。'; do
  grep -qxF "$line" "$desktop" || fail "the desktop entry has no '$line'"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
else
  say "desktop-file-validate is missing (desktop-file-utils): the entry is not validated"
fi
python3 - "$root/usr/share/icons/hicolor" <<'EOF' || fail "icons"
import struct, sys
base = sys.argv[1]
for size in (48, 256):
    with open(f"{base}/{size}x{size}/apps/voxilen.png", "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", head[16:24]) != (size, size):
        sys.exit(f"{size}x{size}/apps/voxilen.png is no {size}x{size} PNG")
with open(f"{base}/scalable/apps/voxilen.svg", "rb") as f:
    if b"<svg" not in f.read():
        sys.exit("scalable/apps/voxilen.svg is no SVG")
EOF
say "the package holds its $(wc -l <<<"$actual") files, owned by root, the desktop entry valid"

# --- The unpacked program, run by a user who cannot write its folder ----------------------
home=$work/home
mkdir -p "$home" "$work/py"
cp "$here/package_run.py" "$here/../e2e/e2e_support.py" "$here/../hostile/peers.py" "$work/py/"
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$home"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
else
  as_user=()
  chmod -R a-w "$root"
  restore_and_clean() {
    chmod -R u+w "$root" 2>/dev/null || true
    e2e_cleanup
  }
  trap restore_and_clean EXIT
fi
chmod 700 "$home"
"${as_user[@]}" test -x "$root/usr/bin/Voxilen" ||
  fail "the user cannot reach $root/usr/bin/Voxilen (is TMPDIR private?)"
"${as_user[@]}" test -w "$root/usr/bin" && fail "the user can write $root/usr/bin"
# A sanitizer's suppressions, where the user can read them.
if [[ ${TSAN_OPTIONS:-} == *suppressions=* ]]; then
  supp=${TSAN_OPTIONS##*suppressions=}
  supp=${supp%%:*}
  if [ -f "$supp" ]; then
    cp "$supp" "$work/tsan.supp"
    export TSAN_OPTIONS=${TSAN_OPTIONS/"$supp"/"$work/tsan.supp"}
  fi
fi

e2e_start_xvfb
status=0
DISPLAY=$e2e_display XAUTHORITY=/dev/null PYTHONDONTWRITEBYTECODE=1 HOME=$home \
  XDG_RUNTIME_DIR=$home TMPDIR=$home timeout 100 "${as_user[@]}" \
  dbus-run-session -- /usr/bin/python3 "$work/py/package_run.py" "$root/usr/bin/Voxilen" \
  "$home" "$home/shots" 2> >(grep -v '^dbus-daemon\[' >&2) || status=$?
cp "$home"/shots/*.png "$report/" 2>/dev/null || true
[ "$status" -eq 0 ] || fail "the unpacked program (pictures in $report)"
say "passed"
