// The fuzzer's source of choices: splitmix64, so that one seed gives the same
// frames with every compiler and library (the standard distributions do not
// promise that).
#pragma once

#include <cstdint>
#include <string>

class FuzzRandom {
public:
    explicit FuzzRandom(uint64_t seed) : state_(seed) {}

    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, bound); 0 for a bound of 0.
    uint64_t Below(uint64_t bound) { return bound ? Next() % bound : 0; }
    // Uniform in [low, high].
    uint64_t Between(uint64_t low, uint64_t high) { return low + Below(high - low + 1); }
    // True with probability numerator / denominator.
    bool Chance(uint64_t numerator, uint64_t denominator) { return Below(denominator) < numerator; }
    std::string Bytes(size_t count)
    {
        std::string bytes(count, '\0');
        for (char& c : bytes)
            c = static_cast<char>(Next());
        return bytes;
    }
    // Printable ASCII, as names and commands are.
    std::string Text(size_t count)
    {
        std::string text(count, ' ');
        for (char& c : text)
            c = static_cast<char>(0x20 + Below(0x5F));
        return text;
    }

private:
    uint64_t state_;
};
