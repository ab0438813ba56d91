#include "sys/time_limit.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "support/simkernel.h"

namespace {

int watchdog_runs = 0;
void watchdog(int) { ++watchdog_runs; }

// The device's own alarm handler stands in for the watchdog; the caller
// has armed it for 15 seconds.
class TimeLimit : public testing::Test {
protected:
    void SetUp() override {
        watchdog_runs = 0;
        struct sigaction action {};
        action.sa_handler = watchdog;
        ASSERT_EQ(device.kernel().sigaction(SIGALRM, &action, &saved), 0);
        device.kernel().alarm(15);
    }
    void TearDown() override {
        device.kernel().alarm(0);
        device.kernel().sigaction(SIGALRM, &saved, nullptr);
    }
    bool watchdog_in_place() {
        struct sigaction now {};
        device.kernel().sigaction(SIGALRM, nullptr, &now);
        return now.sa_handler == watchdog;
    }

    test::SimDevice device;
    struct sigaction saved {};
};

TEST_F(TimeLimit, EndsAHungRequestAndGivesTheCallerItsAlarmBack) {
    std::string error;
    device.kernel().faults().add(*sim::parse_fault("hang:/dev/i2c/0", error));
    {
        sys::TimeLimit limit(2);
        errno = 0;
        EXPECT_EQ(sys::kernel().open("/dev/i2c/0", O_RDWR), -1);
        EXPECT_EQ(errno, EINTR);
        EXPECT_TRUE(limit.expired());
    }
    EXPECT_EQ(device.kernel().clock().now(), 2 * sim::one_second);
    EXPECT_EQ(watchdog_runs, 0);
    EXPECT_TRUE(watchdog_in_place());
    // The caller's 15 seconds still end where they would have.
    EXPECT_EQ(device.kernel().clock().alarm_deadline(), 15 * sim::one_second);
}

TEST_F(TimeLimit, LeavesARequestThatAnswersAlone) {
    {
        sys::TimeLimit limit(2);
        const int fd = sys::kernel().open("/dev/i2c/0", O_RDWR);
        EXPECT_GE(fd, 0);
        device.kernel().close(fd);
        EXPECT_FALSE(limit.expired());
    }
    EXPECT_TRUE(watchdog_in_place());
    EXPECT_EQ(device.kernel().clock().alarm_deadline(), 15 * sim::one_second);
}

}  // namespace
