#include "platform/reconnect_backoff.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kovo::platform;

using std::chrono::seconds;

namespace {

std::vector<long> delays(ReconnectBackoff& backoff, int count) {
    std::vector<long> out;
    for (int i = 0; i < count; ++i)
        out.push_back(static_cast<long>(backoff.next().count()));
    return out;
}

TEST(ReconnectBackoff, GrowsLikeLibmosquittoUpToTheCapAndStartsOverAfterAReset) {
    ReconnectBackoff exponential(seconds(1), seconds(5), true);
    EXPECT_EQ(delays(exponential, 5), (std::vector<long>{1, 4, 5, 5, 5}));
    ReconnectBackoff linear(seconds(2), seconds(7), false);
    EXPECT_EQ(delays(linear, 5), (std::vector<long>{2, 4, 6, 7, 7}));
    ReconnectBackoff above_the_cap(seconds(9), seconds(5), true);
    EXPECT_EQ(delays(above_the_cap, 2), (std::vector<long>{5, 5}));
    // After a reset the next outage starts from the initial delay.
    exponential.reset();
    EXPECT_EQ(delays(exponential, 3), (std::vector<long>{1, 4, 5}));
}

}  // namespace
