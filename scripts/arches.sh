# Sourced by the wheel scripts: the architectures of the wheels, by the names wheel tags use.
# WHEEL_ARCHES lists them; arch_names ARCH sets what the others call that architecture:
#   debian    Debian's name (scripts/sid-root.sh)
#   triplet   GNU's, which the module's file name carries on every Python
#   platform  the wheel's platform tag: manylinux_2_17 (manylinux2014) where the toolchain
#             reaches glibc 2.17, else the oldest manylinux tag of the architecture: riscv64's
#             first is manylinux_2_31 (zig reaches glibc 2.27 there)
#   glibc     the newest glibc symbol version the module may import
WHEEL_ARCHES=(x86_64 aarch64 i686 armv7l ppc64le s390x riscv64)
arch_names() {
  glibc=2.17 platform="manylinux2014_$1.manylinux_2_17_$1"
  case "$1" in
    x86_64) debian=amd64 triplet=x86_64-linux-gnu ;;
    aarch64) debian=arm64 triplet=aarch64-linux-gnu ;;
    i686) debian=i386 triplet=i386-linux-gnu ;;
    armv7l) debian=armhf triplet=arm-linux-gnueabihf ;;
    ppc64le) debian=ppc64el triplet=powerpc64le-linux-gnu ;;
    s390x) debian=s390x triplet=s390x-linux-gnu ;;
    riscv64) debian=riscv64 triplet=riscv64-linux-gnu glibc=2.27 platform=manylinux_2_31_riscv64 ;;
    *) echo "unknown architecture '$1': ${WHEEL_ARCHES[*]}" >&2; return 2 ;;
  esac
}
