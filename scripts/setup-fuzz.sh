#!/usr/bin/env bash
# Installs what the fuzz build needs when it is missing: clang with its libFuzzer and sanitizer
# runtimes. clang 19 is the oldest Debian 12 clang whose __cpp_concepts lets libstdc++ 12 offer
# std::expected (clang 14 to 16 stop at 201907L).
set -euo pipefail
cd "$(dirname "$0")/.."

CLANG_VERSION=${CLANG_VERSION:-19}

need_apt=()
command -v "clang++-$CLANG_VERSION" >/dev/null || need_apt+=("clang-$CLANG_VERSION")
ls /usr/lib/llvm-"$CLANG_VERSION"/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a \
    >/dev/null 2>&1 || need_apt+=("libclang-rt-$CLANG_VERSION-dev")
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "installing Debian packages: ${need_apt[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "${need_apt[@]}"
fi
