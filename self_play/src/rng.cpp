#include "rng.hpp"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "fault.hpp"

namespace tarnex::self_play {

namespace {

// The calling thread's generator once made. A pointer with a constant
// initialiser, so the fork handler can look without making a generator.
thread_local Rng* t_rng = nullptr;

// Runs in the child right after fork(), where only calls that are safe in a
// signal handler belong: getentropy is one system call, with no locks or
// allocation (std::random_device may open a file and allocate).
void reseed_after_fork() {
    if (t_rng == nullptr) return;  // the child makes its own on first use
    std::uint64_t seed = 0;
    if (getentropy(&seed, sizeof seed) != 0) {
        // No entropy to be had: the child's own process id and the time still
        // set it apart from its parent and from its siblings.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        seed = (*t_rng)() ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
               (static_cast<std::uint64_t>(now.tv_sec) << 30) ^ static_cast<std::uint64_t>(now.tv_nsec);
    }
    t_rng->reseed(seed);
}

}  // namespace

Rng& thread_rng() {
    if (t_rng == nullptr) [[unlikely]] {
        // Registered before the first generator exists, so no child can miss
        // the reseeding. Should registering fail (the C library out of
        // memory), say so rather than let children repeat their parent.
        static const bool registered = [] {
            if (pthread_atfork(nullptr, nullptr, reseed_after_fork) != 0) {
                fault("cannot register the generator's fork handler");
            }
            return true;
        }();
        (void)registered;
        thread_local Rng rng = Rng::from_entropy();
        t_rng = &rng;
    }
    return *t_rng;
}

}  // namespace tarnex::self_play
