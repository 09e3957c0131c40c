#!/usr/bin/env bash
# Installs the Debian 12 packages Tarvo needs to build, run and test. Does nothing when they
# are all present; needs root (or sudo) otherwise.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config clang-format
  # manual pages; Debian packages (dpkg-shlibdeps, dpkg-buildflags; file for CPack's strip)
  scdoc dpkg-dev file
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libxcb1-dev libxcb-shm0-dev libxcb-keysyms1-dev libxcb-xinput-dev libxcb-render0-dev
  libasound2-dev libcurl4-openssl-dev nettle-dev
  # Wayland: the client library, the scanner that makes protocol code, the protocols, and
  # Qt's wayland platform
  libwayland-dev libwayland-bin wayland-protocols qt6-wayland
  libturbojpeg0-dev libpng-dev libdeflate-dev zlib1g-dev libgif-dev libimagequant-dev
  # the web service
  libmicrohttpd-dev libsqlite3-dev libpq-dev
  # fonts: without them Cyrillic text renders as empty boxes
  fonts-dejavu-core
  # the toolkit's own texts in the desktop's language (message box buttons)
  qt6-translations-l10n
)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
    xvfb tint2 xdotool xclip x11-utils x11-xserver-utils imagemagick alsa-utils
    # a private session bus for the notification tests; clang and libFuzzer for the fuzz runs
    dbus-daemon clang libclang-rt-14-dev
    # a headless Wayland session (sway as an unprivileged user) and its tools: screen copy,
    # keys, clipboard, the desktop portals with PipeWire, and dbus-send for probing the bus
    sway grim wtype wl-clipboard xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk
    pipewire wireplumber dbus-bin util-linux passwd
    # the source checks
    clang-tidy
    # the service's second storage and the browser that opens its pages
    postgresql chromium
    # the install and package checks
    desktop-file-utils appstream man-db lintian
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo apt-get update -qq
  sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "These packages are missing and installing them needs root. Run as root, or:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
