#!/usr/bin/env bash
# Installs the Debian packages Quorvel Ink needs to build, test and run.
# The one place where packages are named. Idempotent: installs only what is missing.
#   scripts/setup.sh          what the build, the tests and the program need
#   scripts/setup.sh vulkan   only what scripts/install-reader.sh --gpu vulkan needs
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config git
  # unpacks the llama.cpp source archive the tests build their model server from
  xz-utils
  # core libraries
  libsqlite3-dev libvips-dev libheif1 libssl-dev
  libtesseract-dev tesseract-ocr-eng
  # the Latin-script reading model: umlauts, accents and ß of printed letters
  tesseract-ocr-script-latn
  libicu-dev libcld2-dev libcurl4-openssl-dev nlohmann-json3-dev
  libcairo2-dev libpango1.0-dev libpodofo-dev
  # fonts used by the keepsake book and the searchable PDF
  fonts-urw-base35 fonts-adf-baskervald fonts-liberation2 fontconfig
  # command-line tools run by the core
  zip unzip tar procps
  # application
  qt6-base-dev qt6-svg-dev libgl-dev
  # icons: the fallback theme, so the window looks the same on every desktop
  adwaita-icon-theme
  # tests (openssl makes the download tests' self-signed certificate)
  libgtest-dev libgmock-dev poppler-utils libpoppler-cpp-dev openssl
  # checks the desktop menu entry
  desktop-file-utils
  # the end-to-end tours run the program on a virtual display
  xvfb
  # benchmarks: the printed-text benchmark compares with the plain command,
  # which reads German and French pages with their own language data
  tesseract-ocr tesseract-ocr-deu tesseract-ocr-fra
)
if [ "${1:-}" = "vulkan" ]; then
  # the Vulkan backend of the handwriting reader's server: loader, headers, shader compiler
  packages=(libvulkan-dev glslc spirv-headers)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "setup: these packages are missing and installing them needs root:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    echo "Run this script as root (or install sudo)." >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
