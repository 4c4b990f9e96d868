#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need; skips what is there.
#   bash tools/setup.sh         what the tool and its default tests need
#   bash tools/setup.sh --all   and what CI needs beyond them: the package's validators, the
#                               benchmarks, clang 14 for the sanitizers and the fuzz targets,
#                               and a virtual display to look at the windows
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools
  libudev-dev libftdi1-dev libftdi1-2 libsystemd-dev zlib1g-dev
  umockdev libumockdev-dev
  binutils dpkg-dev bash-completion
  systemd-journal-remote
)
if [ "${1:-}" = "--all" ]; then
  packages+=(
    libbenchmark-dev
    xvfb xauth
    lintian appstream desktop-file-utils devscripts systemd
    clang-14 libclang-rt-14-dev
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
