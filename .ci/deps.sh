#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Idempotent: it asks apt
# only when something is missing, and then runs "apt-get update" once before installing.
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ pkg-config python3
    libgtest-dev libbenchmark-dev
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-translations-l10n libqt6sql6-ibase
    firebird3.0-server firebird3.0-utils firebird-dev
    libsofia-sip-ua-dev libortp-dev libsndfile1-dev libspandsp-dev libespeak-ng-dev espeak-ng
    sip-tester baresip
    kamailio
    xvfb xauth
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The Firebird and Kamailio packages would start system servers where systemd runs; tests use their
# own. The base kamailio package holds every module deploy/kamailio/kamailio.cfg loads.
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# Tests start Kamailio themselves, on ports of their own: no system registrar on 5060 beside them.
if [[ " ${missing[*]} " == *" kamailio "* ]] && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now kamailio >/dev/null 2>&1 || true
fi
