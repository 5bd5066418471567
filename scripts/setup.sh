#!/usr/bin/env bash
# Installs every build and test dependency of KORA from Debian's packages.
# Idempotent: when everything is present it prints nothing and exits 0.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libinih-dev libyaml-cpp-dev libyaml-dev libsqlite3-dev libpq-dev postgresql libeigen3-dev libcli11-dev
  libcpp-httplib-dev
  clang libclang-rt-14-dev clang-format clang-tidy
  binutils locales
  ngspice
  chromium-headless-shell
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The number parsers are tested under a German locale (decimal comma).
ensure_locale() {
  if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 || true
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
ensure_locale
