#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent: it
# runs apt-get only when something is missing, and is quiet when all is there.
set -euo pipefail

PACKAGES=(
  # toolchain and build
  cmake g++ make pkg-config ccache
  # clang: the sanitizer build with the fuzz targets (libFuzzer runtime), formatting, lint
  clang libclang-rt-14-dev clang-format clang-tidy
  # platform layer
  libglib2.0-dev nlohmann-json3-dev libexpat1-dev uuid-dev
  # location: gpsd and gpsfake for the tests (the reader speaks gpsd's protocol itself) and desktop notifications
  gpsd gpsd-clients libnotify-dev dbus-daemon
  # event sounds of the debug narration; its test plays them into a private PulseAudio
  # server through libcanberra's PulseAudio driver
  libcanberra-dev libcanberra-pulse pulseaudio
  # host on WebKitGTK; print jobs rendered again as PostScript, SVG or grey
  libwebkit2gtk-4.1-dev libgtk-3-dev libpoppler-glib-dev
  # logging
  libsystemd-dev
  # storage, compression, network, nano messages
  libsqlite3-dev sqlite3 zlib1g-dev libcurl4-openssl-dev nanopb libnanopb-dev protobuf-compiler
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev libdeflate-dev
  libcpp-httplib-dev gzip xvfb xauth xxd openssl
  # printing and status-bar tests: PDFs read back, clicks through the X server
  poppler-utils libxtst-dev
  # network-namespace test of the network-information plug-in (ip; unshare is in util-linux),
  # with a fake ModemManager on a bus of its own
  iproute2 python3-dbusmock
  # property lists from another writer (plistutil) and the benchmark's anchor
  libplist-utils libplist-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
