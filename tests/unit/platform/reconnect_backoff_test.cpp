#include "platform/reconnect_backoff.h"

#include <gtest/gtest.h>

using namespace kovo::platform;

using std::chrono::seconds;

// The first waits with a real broker: see the MQTT client's test.
TEST(ReconnectBackoff, GrowsLikeLibmosquittoUpToTheCapAndStartsOverAfterAReset) {
    ReconnectBackoff backoff(seconds(1), seconds(5), true);
    for (const long expected : {1, 4, 5, 5})
        EXPECT_EQ(backoff.next().count(), expected);
    backoff.reset();
    EXPECT_EQ(backoff.next().count(), 1);
}
