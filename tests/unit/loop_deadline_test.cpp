// SPDX-License-Identifier: MIT
// The loop's wait timeout at the edges of the 20 s period: never negative, never longer than
// the period, whatever the monotonic clock reports.
#include "core/daemon.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

constexpr int64_t two_to_the(int power) {
    return int64_t{1} << power;
}

} // namespace

TEST(LoopDeadline, TimeoutAtTheEdges) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    struct Case {
        const char *what;
        int64_t now_ms;
        int64_t last_cycle_end_ms;
        int timeout_ms;
    };
    const Case cases[] = {
        {"a cycle just ended", 5000, 5000, 20000},
        {"1 ms later", 5001, 5000, 19999},
        {"1 ms before the deadline", 24999, 5000, 1},
        {"at the deadline", 25000, 5000, 0},
        {"1 ms past the deadline", 25001, 5000, 0},
        {"an hour past the deadline", 5000 + 3600000, 5000, 0},
        // An elapsed time that does not fit 32 bits is still far past the deadline.
        {"2^31 ms elapsed", 5000 + two_to_the(31), 5000, 0},
        {"2^32 ms + 5 s elapsed", 5000 + two_to_the(32) + 5000, 5000, 0},
        {"the whole range elapsed", max, 0, 0},
        {"the deadline at the top of the range", max, max - 20000, 0},
        {"1 ms left at the top of the range", max, max - 19999, 1},
        // A clock behind the last cycle's end (set back, or a different clock) waits one
        // period, no longer.
        {"1 ms backwards", 4999, 5000, 20000},
        {"2^32 ms - 5 s backwards", 5000 - two_to_the(32) + 5000, 5000, 20000},
        {"2^32 ms backwards", 5000 - two_to_the(32), 5000, 20000},
        {"the whole range backwards", 0, max, 20000},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(wait_timeout_ms(c.now_ms, c.last_cycle_end_ms), c.timeout_ms) << c.what;
    }
}

TEST(LoopDeadline, NoElapsedTimeGivesANegativeOrLongerWait) {
    const int64_t last_cycle_end_ms = two_to_the(40);
    for (int power = 0; power < 62; ++power) {
        for (const int64_t offset : {-1, 0, 1}) {
            for (const int64_t sign : {1, -1}) {
                const int64_t elapsed_ms = sign * (two_to_the(power) + offset);
                const int timeout =
                    wait_timeout_ms(last_cycle_end_ms + elapsed_ms, last_cycle_end_ms);
                EXPECT_GE(timeout, 0) << elapsed_ms;
                EXPECT_LE(timeout, UPDATE_PERIOD_MS) << elapsed_ms;
            }
        }
    }
}
