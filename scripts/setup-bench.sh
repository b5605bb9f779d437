#!/usr/bin/env bash
# Installs what the benchmark needs beyond the build tools: haproxy, the reference proxy the
# relay is measured against, and a C++ compiler for the load client and the upstreams.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
command -v haproxy >/dev/null 2>&1 || need_apt+=(haproxy)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "installing Debian packages: ${need_apt[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi
