// zig: -mcpu=pwr9
// A modulo of ISA 3.0 (POWER9), newer than the POWER8 promised.
int main(void) {
  __asm__ volatile("modsw 3, 3, 3" ::: "r3");
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
