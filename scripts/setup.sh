#!/usr/bin/env bash
# Installs what building and testing need, and nothing that is already there: the Debian
# packages for Asio and GoogleTest, and a virtual environment with the Python tools.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-build/venv}
PYTHON=${PYTHON:-python3}

need_apt=()
[ -f /usr/include/asio.hpp ] || need_apt+=(libasio-dev)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "installing Debian packages: ${need_apt[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv "$VENV"
fi
# Build tools and test runners; pip skips what is already satisfied.
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
    "cmake>=3.22" ninja "scikit-build-core>=0.9" \
    "pytest>=7" "pytest-asyncio>=0.23" "pytest-timeout>=2"
