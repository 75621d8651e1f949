// The bit-parallel count of the set bits of a word, which needs no special instruction.
// Include inside a per-ISA anonymous namespace.

inline uint32_t bit_parallel_popcount(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
}
