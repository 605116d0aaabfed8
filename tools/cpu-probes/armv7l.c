// zig: -mcpu=generic+v7a+neon
// A NEON add, which the VFPv3-D16 processors promised need not have.
int main(void) {
  __asm__ volatile("vadd.i32 d0, d0, d0" ::: "d0");
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
