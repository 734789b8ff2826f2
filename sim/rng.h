// A small deterministic generator for the emulator's fault draws: the same
// seed gives the same sequence on every machine and library.
#ifndef QAX_SIM_RNG_H
#define QAX_SIM_RNG_H

#include <cstdint>

namespace qaxsim {

class SplitMix64 {
  public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1) with 53 bits.
    double NextUnit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

  private:
    uint64_t state_;
};

}  // namespace qaxsim

#endif
