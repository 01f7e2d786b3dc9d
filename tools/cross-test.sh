#!/usr/bin/env bash
# Builds the project and its tests for another of Debian's architectures with Debian's cross
# compiler and runs the whole suite: tools/cross-test.sh [--emulate] ARCH [build-folder]
# ARCH: i386, s390x, arm64, armhf, armel, mips64el, ppc64el or riscv64. What this machine's kernel
# cannot run itself runs under qemu-user, and so does everything with --emulate. The emulator is
# named to the build, which starts every program under test through it: nothing is registered
# with binfmt_misc, nothing is mounted, and no root is needed but to install what is missing.
# Under an emulator a few cases cannot hold; each skips, saying why. GoogleTest is built for ARCH
# from the sources that libgtest-dev ships, so no package list of a foreign architecture is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
emulate=false
if [ "${1:-}" = --emulate ]; then
    emulate=true
    shift
fi
arch=${1:?usage: tools/cross-test.sh [--emulate] ARCH [build-folder]}
dir=${2:-build-$arch}
case $arch in
i386) triplet=i686-linux-gnu qemu=i386 ;;
s390x) triplet=s390x-linux-gnu qemu=s390x ;;
arm64) triplet=aarch64-linux-gnu qemu=aarch64 ;;
armhf) triplet=arm-linux-gnueabihf qemu=arm ;;
armel) triplet=arm-linux-gnueabi qemu=arm ;;
mips64el) triplet=mips64el-linux-gnuabi64 qemu=mips64el ;;
ppc64el) triplet=powerpc64le-linux-gnu qemu=ppc64le ;;
riscv64) triplet=riscv64-linux-gnu qemu=riscv64 ;;
*)
    echo "cross-test.sh: $arch: not one of i386 s390x arm64 armhf armel mips64el ppc64el riscv64" >&2
    exit 2
    ;;
esac
need cmake make "g++-$triplet" googletest jq
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# The programs load the cross C library's own loader and libraries, which live under
# /usr/<triplet>, not where a machine of that architecture keeps them. The probe names the
# machine it runs on: the kernel's own when the kernel runs it (i386 on most x86-64 kernels),
# the emulated one under qemu, whether started by hand or by a binfmt_misc handler.
printf '#include <stdio.h>\n#include <sys/utsname.h>\n%s\n' \
    'int main(void) { struct utsname u; return uname(&u) != 0 || puts(u.machine) < 0; }' \
    >"$dir/probe.c"
"$triplet-gcc" -o "$dir/probe" "$dir/probe.c"
interpreter=$(readelf -l "$dir/probe" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
links="-Wl,--dynamic-linker=/usr/$triplet$interpreter -Wl,--disable-new-dtags,-rpath,/usr/$triplet/lib"
"$triplet-gcc" $links -o "$dir/probe" "$dir/probe.c"

emulator=
if $emulate || [ "$("$dir/probe" 2>/dev/null)" != "$(uname -m)" ]; then
    need qemu-user-static
    emulator=/usr/bin/qemu-$qemu-static
    "$emulator" "$dir/probe" >/dev/null ||
        { echo "cross-test.sh: $arch programs do not run here, even under $emulator" >&2; exit 1; }
fi
echo "cross-test.sh: $arch programs run ${emulator:+under }${emulator:-natively}"

cat >"$dir/toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
set(CMAKE_EXE_LINKER_FLAGS "$links" CACHE STRING "" FORCE)
set(CMAKE_MODULE_LINKER_FLAGS "-Wl,--disable-new-dtags,-rpath,/usr/$triplet/lib" CACHE STRING "" FORCE)
set(CMAKE_CROSSCOMPILING_EMULATOR "$emulator")
TOOLCHAIN

cmake -S /usr/src/googletest -B "$dir/googletest" -DCMAKE_TOOLCHAIN_FILE="$dir/toolchain.cmake" \
    -DCMAKE_INSTALL_PREFIX="$dir/googletest/prefix" -DBUILD_GMOCK=OFF >/dev/null
cmake --build "$dir/googletest" -j "$(nproc)" --target install >/dev/null
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$dir/toolchain.cmake" -DBUILD_TESTING=ON \
    -DCMAKE_PREFIX_PATH="$dir/googletest/prefix"
cmake --build "$dir" -j "$(nproc)"
run_suite "$dir"
