// The engine's random generator: xoshiro256**, one per thread, seeded from the
// operating system (and seeded afresh in a child process made by fork()).
// Internal functions take a generator so tests can seed one.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <random>

namespace tarnex::self_play {

class Rng {
public:
    using result_type = std::uint64_t;

    explicit Rng(std::uint64_t seed) { seed_with(seed); }
    static Rng from_entropy() {
        std::random_device device;
        const std::uint64_t seed = (std::uint64_t{device()} << 32) ^ device();
        return Rng(seed);
    }

    // Starts the sequence again from `seed`.
    void reseed(std::uint64_t seed) { seed_with(seed); }

    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    result_type operator()() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, 1): the top 24 bits, exactly representable as a float.
    float uniform_float() { return static_cast<float>((*this)() >> 40) * 0x1.0p-24f; }
    // Uniform in [0, n), n > 0, without modulo bias.
    std::uint64_t below(std::uint64_t n) {
        return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(*this);
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    void seed_with(std::uint64_t seed) {
        // splitmix64 spreads one word over the whole state.
        for (auto& word : s_) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    std::array<std::uint64_t, 4> s_{};
};

// The calling thread's generator, made on first use. A child made by fork()
// starts with a copy of its parent's memory, generator state included, so the
// forking thread's generator (the only one a child has) is reseeded from the
// operating system in the child as it starts: otherwise every child would draw
// what the parent draws next, and repeat its games. This holds for a reference
// taken before the fork too, as in a game whose Python side forks.
Rng& thread_rng();

}  // namespace tarnex::self_play
