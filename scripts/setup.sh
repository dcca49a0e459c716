#!/usr/bin/env bash
# Installs the Debian packages qel_cv and the inspection station need (and the
# tools that build and check its wheel), builds the extension and installs it,
# with the station package, where /usr/bin/python3 finds them from any directory,
# and the qel-inspect command into /usr/local/bin.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
packages=(python3-opencv python3-numpy python3-scipy python3-dev cmake g++ make
          python3-pytest python3-hypothesis python3-mypy
          python3-tqdm python3-jinja2 python3-matplotlib python3-distributed
          python3-watchdog python3-fastapi python3-uvicorn python3-paho-mqtt mosquitto python3-zxing-cpp
          python3-tesserocr tesseract-ocr tesseract-ocr-eng
          chromium chromium-driver python3-selenium
          python3-build python3-setuptools python3-wheel python3-pip python3-venv git)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$here/build" -j"$(nproc)"
cmake --install "$here/build" >/dev/null
