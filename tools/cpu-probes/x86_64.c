// zig: -mcpu=x86_64_v3
// probes: sse3 ssse3 sse4.1 sse4.2 popcnt lahf cmpxchg16b movbe avx avx2 fma bmi1 bmi2
// One instruction of each extension newer than the x86-64 baseline promised (SSE2), the one
// the first argument names: each must be refused on the row's processor. Not lzcnt nor tzcnt:
// older processors run them as bsr and bsf, and no model can refuse them.
#include <string.h>

int main(int argc, char **argv) {
  static unsigned char slot[16] __attribute__((aligned(16)));
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
    __asm__ volatile("popcnt %%rax, %%rax" ::: "rax", "cc");
  } else if (!strcmp(name, "lahf")) {
    __asm__ volatile("lahf" ::: "rax");
  } else if (!strcmp(name, "cmpxchg16b")) {
    __asm__ volatile("lock cmpxchg16b %0" : "+m"(slot)::"rax", "rdx", "cc");
  } else if (!strcmp(name, "movbe")) {
    __asm__ volatile("movbe %0, %%eax" ::"m"(slot) : "eax");
  } else if (!strcmp(name, "avx")) {
    __asm__ volatile("vaddps %%ymm0, %%ymm0, %%ymm0" ::: "xmm0");
  } else if (!strcmp(name, "avx2")) {
    __asm__ volatile("vpaddd %%ymm0, %%ymm0, %%ymm0" ::: "xmm0");
  } else if (!strcmp(name, "fma")) {
    __asm__ volatile("vfmadd231sd %%xmm0, %%xmm0, %%xmm0" ::: "xmm0");
  } else if (!strcmp(name, "bmi1")) {
    __asm__ volatile("andn %%rax, %%rax, %%rax" ::: "rax", "cc");
  } else if (!strcmp(name, "bmi2")) {
    __asm__ volatile("shlx %%rax, %%rax, %%rax" ::: "rax");
  } else {
    return 2;  // no such probe
  }
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
