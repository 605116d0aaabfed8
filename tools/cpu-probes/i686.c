// zig: -mcpu=pentium4+sse3
// SSE3's horizontal add, newer than the SSE2 promised.
int main(void) {
  __asm__ volatile("haddpd %%xmm0, %%xmm0" ::: "xmm0");
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
