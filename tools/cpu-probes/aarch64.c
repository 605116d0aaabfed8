// zig: -mcpu=generic+v8_1a+lse
// An atomic add of the large-system extensions (ARMv8.1), newer than the ARMv8.0 promised.
int main(void) {
  int value = 0, add = 1;
  __asm__ volatile("ldadd %w1, %w1, [%0]" : : "r"(&value), "r"(add) : "memory");
  return value + 2;  // 3 once the add is made: ran (scripts/test-arch.sh)
}
