#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the test command needs and this
# machine lacks.  Does nothing when everything is present; as a user other
# than root it names what is missing and fails.
set -euo pipefail

missing=()
need() { # need PACKAGE CHECK-COMMAND...
    local pkg=$1
    shift
    "$@" >/dev/null 2>&1 || missing+=("$pkg")
}
compiles() { # compiles COMPILER FLAGS... : a trivial C++ program builds
    echo 'int main() { return 0; }' | "$@" -x c++ - -o /dev/null
}

need cmake command -v cmake
need make command -v make
need g++ command -v g++
need libgtest-dev test -e /usr/src/googletest/CMakeLists.txt
need clang command -v clang++
need libclang-rt-14-dev compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
need valgrind command -v valgrind
need binutils command -v nm
need pkg-config command -v pkg-config
need g++-multilib compiles g++ -m32
need gcc-multilib compiles g++ -m32

[ ${#missing[@]} -eq 0 ] && exit 0
packages=$(printf '%s\n' "${missing[@]}" | sort -u | tr '\n' ' ')
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: $packages(install them with: sudo apt-get install $packages)" >&2
    exit 1
fi
echo "installing: $packages"
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $packages
