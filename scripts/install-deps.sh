#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Only missing packages are installed; nothing is asked.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  # TLS between copies of the program
  libssl-dev
  # the Debian package: its library dependencies (dpkg-shlibdeps), the desktop entry's check
  dpkg-dev desktop-file-utils
  # the fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # make lint and make format-check
  clang-tidy clang-format
  # the windows and the sound device
  qt6-base-dev qt6-multimedia-dev libgl-dev fonts-noto-cjk
  # Qt's own dialogs (file open and save, Yes and No) in the program's language
  qt6-translations-l10n
  # the end-to-end test: a private X display, a D-Bus session with the accessibility bus,
  # pyatspi to drive the windows, screenshots
  xvfb xauth x11-utils dbus dbus-x11 at-spi2-core python3-pyatspi imagemagick
  # ... with a window manager, so that focus and raising behave as on a desktop
  openbox wmctrl
  # ... and its talking step: a private sound server, a microphone feed and a recorder
  pulseaudio pulseaudio-utils espeak-ng sox
  # opening the ports on the home router (UPnP IGD, NAT-PMP), and the router its tests
  # build in network namespaces
  libminiupnpc-dev libnatpmp-dev miniupnpd-nftables nftables iproute2
  # the push-to-talk key anywhere on an X11 desktop (XInput2 raw key events), and its test:
  # keys pressed from outside, a fake notification server on a private session bus
  libxi-dev xdotool python3-dbusmock
  # ... and a system tray on the test display for the tray icon
  trayer
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "These packages are missing and this script is not running as root: ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
