// The thread's generator in forked children: each child draws its own numbers,
// not the parent's next ones, even through a reference taken before the fork.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "rng.hpp"

namespace tarnex::self_play::test {
namespace {

constexpr std::size_t kDraws = 4;
using Draws = std::array<std::uint64_t, kDraws>;

Draws draw(Rng& rng) {
    Draws out{};
    for (auto& x : out) x = rng();
    return out;
}

// Forks a child that writes its next draws from `rng` to a pipe and exits.
Draws draws_of_child(Rng& rng) {
    int ends[2];
    if (pipe(ends) != 0) ADD_FAILURE() << "pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        const Draws drawn = draw(rng);
        const bool written = write(ends[1], drawn.data(), sizeof drawn) == static_cast<ssize_t>(sizeof drawn);
        _exit(written ? 0 : 1);
    }
    close(ends[1]);
    Draws drawn{};
    EXPECT_EQ(read(ends[0], drawn.data(), sizeof drawn), static_cast<ssize_t>(sizeof drawn));
    close(ends[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return drawn;
}

TEST(ThreadRng, ForkedChildrenDrawFreshNumbers) {
    Rng& rng = thread_rng();
    (void)rng();
    std::set<Draws> seen;
    for (int child = 0; child < 3; ++child) seen.insert(draws_of_child(rng));
    seen.insert(draw(rng));  // the parent's own next draws
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(&thread_rng(), &rng);
}

}  // namespace
}  // namespace tarnex::self_play::test
