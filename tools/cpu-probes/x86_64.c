// zig: -mcpu=x86_64_v3
// A fused multiply-add (x86-64-v3), newer than the x86-64 baseline promised.
int main(void) {
  __asm__ volatile("vfmadd231sd %%xmm0, %%xmm0, %%xmm0" ::: "xmm0");
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
