// zig: -mcpu=generic_rv64+m+a+f+d+c+zba
// An address-generation instruction of Zba, newer than the RV64GC promised.
int main(void) {
  __asm__ volatile("sh1add a0, a0, a0" ::: "a0");
  return 3;  // ran (scripts/test-arch.sh tells it from a run that never started)
}
