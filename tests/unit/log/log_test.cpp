#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "log/log.h"

// A log file or a pipe must not fill with escape codes.
TEST(LogColour, OnlyOnATerminalAndNeverWithNoColor) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0) GTEST_SKIP() << "no pseudo-terminal on this machine";
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    const int tty = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);

    EXPECT_TRUE(kovo::log::colour_wanted(tty, nullptr));
    EXPECT_FALSE(kovo::log::colour_wanted(tty, ""));
    EXPECT_FALSE(kovo::log::colour_wanted(tty, "1"));
    EXPECT_FALSE(kovo::log::colour_wanted(pipe_fds[1], nullptr));

    for (const int fd : {tty, terminal, pipe_fds[0], pipe_fds[1]})
        ::close(fd);
}
