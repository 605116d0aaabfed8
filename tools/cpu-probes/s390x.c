// zig: -mcpu=z13
// refused by: FPE
// (A vector instruction where the vector facility is absent is a data exception, which Linux,
// and qemu, deliver as the floating-point signal.)
// A vector instruction (z13), newer than the z10 promised. (qemu's s390x models refuse the
// vector facility where it is absent, but not z196's or zEC12's new general instructions.)
int main(void) {
  __asm__ volatile("vzero %%v0" ::: "v0");
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
