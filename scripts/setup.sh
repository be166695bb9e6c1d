#!/usr/bin/env bash
# Installs what building and testing ruk needs on a Debian machine. Safe to run
# again: it only installs packages that are missing, through sudo when not root.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libvterm-dev nlohmann-json3-dev libutf8proc-dev libssl-dev
  libgtest-dev libgmock-dev
  curl openssh-client openssh-server python3 util-linux procps git
  tmux vim less nodejs
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
