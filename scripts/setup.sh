#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: apt-get
# only installs what is missing.
set -euo pipefail

PACKAGES=(
  # build and test
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # settings store
  libplist-dev
  # OpenCL: headers, loader, and PoCL's CPU device
  ocl-icd-opencl-dev opencl-headers pocl-opencl-icd clinfo
  # images and colour
  libfreeimage-dev liblcms2-dev liblodepng-dev
  # JSON and upload
  nlohmann-json3-dev libcurl4-openssl-dev
  # editor
  libimgui-dev libglfw3-dev libgtk-3-dev fonts-quicksand xvfb xdotool
  # model tools (Debian's own Python)
  python3 python3-numpy python3-pil python3-scipy python3-skimage python3-torch
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1 \
   || ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
