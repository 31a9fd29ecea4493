#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test brennic. Installs nothing
# when everything is already there. BRENNIC_FULL_SETUP=1 adds what every CI stage needs;
# BRENNIC_WINDOWS_SETUP=1 (also part of the full setup) what the Windows stage needs.
set -euo pipefail

missing=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_file() { [ -e "$1" ]; }

have_cmd cmake || missing+=(cmake)
have_cmd ninja || missing+=(ninja-build)
have_cmd g++ || missing+=(g++)
have_file /usr/include/gtest/gtest.h || missing+=(libgtest-dev)
have_file /usr/include/benchmark/benchmark.h || missing+=(libbenchmark-dev)
# The PAM module and its stack tests (libpam with pam_wrapper preloaded; pamtester for trying
# a service by hand).
have_file /usr/include/security/pam_modules.h || missing+=(libpam0g-dev)
compgen -G "/usr/lib/*/libpam_wrapper.so" >/dev/null || missing+=(libpam-wrapper)
have_cmd pamtester || missing+=(pamtester)
if [ "${BRENNIC_FULL_SETUP:-0}" = 1 ]; then
  have_cmd clang++ || missing+=(clang)
  have_cmd clang-format-14 || missing+=(clang-format-14)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || missing+=(libclang-rt-dev)
  have_cmd valgrind || missing+=(valgrind)
  have_cmd man || missing+=(man-db)
  have_cmd groff || missing+=(groff)
  have_cmd pkg-config || missing+=(pkg-config)
  have_cmd dpkg-deb || missing+=(dpkg)
fi
if [ "${BRENNIC_FULL_SETUP:-0}" = 1 ] || [ "${BRENNIC_WINDOWS_SETUP:-0}" = 1 ]; then
  # The Windows cross build: mingw-w64 (its posix-threads compilers), wine to run what it
  # builds, GoogleTest's sources to cross-build the test framework (Debian has no mingw
  # build of it), and groff for the man pages as text. Wine runs headless without the
  # packages it only recommends.
  have_cmd x86_64-w64-mingw32-g++-posix || missing+=(mingw-w64)
  have_cmd wine || missing+=(wine)
  have_file /usr/lib/wine/wine64 || missing+=(wine64)
  have_file /usr/src/googletest/CMakeLists.txt || missing+=(googletest)
  have_cmd groff || missing+=(groff-base)
fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
