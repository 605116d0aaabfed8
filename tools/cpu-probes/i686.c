// zig: -mcpu=pentium4+sse3
// probes: sse3 ssse3 sse4.1 sse4.2 popcnt movbe avx
// One instruction of each extension newer than the SSE2 promised, the one the first argument
// names: each must be refused on the row's processor.
#include <string.h>

int main(int argc, char **argv) {
  static unsigned char slot[4];
  const char *name = argc > 1 ? argv[1] : "";
  if (!strcmp(name, "sse3")) {
    __asm__ volatile("haddpd %%xmm0, %%xmm0" ::: "xmm0");
  } else if (!strcmp(name, "ssse3")) {
    __asm__ volatile("pshufb %%xmm0, %%xmm0" ::: "xmm0");
  } else if (!strcmp(name, "sse4.1")) {
    __asm__ volatile("ptest %%xmm0, %%xmm0" ::: "cc");
  } else if (!strcmp(name, "sse4.2")) {
    __asm__ volatile("crc32b %%al, %%eax" ::: "eax");
  } else if (!strcmp(name, "popcnt")) {
    __asm__ volatile("popcnt %%eax, %%eax" ::: "eax", "cc");
  } else if (!strcmp(name, "movbe")) {
    __asm__ volatile("movbe %0, %%eax" ::"m"(slot) : "eax");
  } else if (!strcmp(name, "avx")) {
    __asm__ volatile("vaddps %%ymm0, %%ymm0, %%ymm0" ::: "xmm0");
  } else {
    return 2;  // no such probe
  }
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
