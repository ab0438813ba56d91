// The simulator's own parsers and clock: every scenario relies on them.
#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>

#include "sim/clock.h"
#include "sim/faults.h"
#include "sim/script.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

struct FaultCase {
    const char* name;
    const char* text;
    bool valid;
};

class FaultText : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultText, IsAcceptedOnlyWhenWellFormed) {
    std::string error;
    const auto fault = sim::parse_fault(GetParam().text, error);
    EXPECT_EQ(fault.has_value(), GetParam().valid) << error;
    EXPECT_EQ(error.empty(), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultText,
                         testing::Values(FaultCase{"every_write", "eio:/dev/mmcblk0", true},
                                         FaultCase{"nth_write", "eio:/dev/mmcblk0:3", true},
                                         FaultCase{"run_of_writes", "eio:/dev/mmcblk0:3-7", true},
                                         FaultCase{"run_of_reads", "eio-read:/x:2-2", true},
                                         FaultCase{"nth_seek", "eio-seek:/x:2", true},
                                         FaultCase{"every_fsync", "eio-fsync:/x", true},
                                         FaultCase{"seek_without_path", "eio-seek:2", false},
                                         FaultCase{"run_backwards", "eio:/x:7-3", false},
                                         FaultCase{"run_open_ended", "eio:/x:7-", false},
                                         FaultCase{"short_takes_no_run", "short:/x:1-2", false},
                                         FaultCase{"short_needs_count", "short:/dev/mmcblk0", false},
                                         FaultCase{"short_read", "short-read:/x:7", true},
                                         FaultCase{"relative_path", "vanish:dev/x", false},
                                         FaultCase{"hang_takes_no_count", "hang:/dev/x:2", false},
                                         FaultCase{"powercut", "powercut:12", true},
                                         FaultCase{"powercut_zero", "powercut:0", false},
                                         FaultCase{"powercut_path", "powercut:/dev/x", false},
                                         FaultCase{"unknown", "melt:/dev/x", false},
                                         FaultCase{"select_fails", "select-fails:2", true},
                                         FaultCase{"swap_of_a_missing_host_file", "swap:/x:/nonexistent/file", false},
                                         FaultCase{"swap_of_a_directory", "swap:/x:/tmp", false}),
                         test::ParamName());

TEST(Faults, NthWriteFailsAndPowerCutCountsAllWrites) {
    sim::Faults faults;
    std::string error;
    faults.add(*sim::parse_fault("eio:/a:2", error));
    faults.add(*sim::parse_fault("short:/b:1", error));
    faults.add(*sim::parse_fault("powercut:4", error));
    EXPECT_EQ(faults.admit_write("/a", 10), 10);
    EXPECT_FALSE(faults.power_cut_due());
    EXPECT_EQ(faults.admit_write("/a", 10), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(faults.admit_write("/b", 10), 5);
    EXPECT_FALSE(faults.power_cut_due());
    EXPECT_EQ(faults.admit_write("/b", 10), 10);
    EXPECT_FALSE(faults.power_cut_due());
    EXPECT_EQ(faults.admit_write("/a", 10), 10);
    EXPECT_TRUE(faults.power_cut_due());
}

TEST(Faults, ARunOfErrorsCoversItsFirstToItsLastRequest) {
    sim::Faults faults;
    std::string error;
    faults.add(*sim::parse_fault("eio:/a:2-3", error));
    faults.add(*sim::parse_fault("eio-read:/a:3-4", error));
    faults.add(*sim::parse_fault("eio-seek:/a:1", error));
    faults.add(*sim::parse_fault("eio-fsync:/a:4-5", error));
    std::string writes, reads, seeks, fsyncs;
    for (int n = 1; n <= 5; ++n) {
        writes += faults.admit_write("/a", 10) < 0 ? 'x' : '.';
        reads += faults.read_fails("/a") ? 'x' : '.';
        seeks += faults.seek_fails("/a") ? 'x' : '.';
        fsyncs += faults.fsync_fails("/a") ? 'x' : '.';
    }
    EXPECT_EQ(writes, ".xx..");
    EXPECT_EQ(reads, "..xx.");
    EXPECT_EQ(seeks, "x....");
    EXPECT_EQ(fsyncs, "...xx");
}

TEST(Script, AbsoluteAndRelativeTimesCommentsAndArguments) {
    std::vector<sim::ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(sim::parse_script("# setup\n0.5 console\n\n+2 console hello world\n10 signal TERM\r\n", events, error))
        << error;
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].at, 500000);
    EXPECT_EQ(events[0].argument, "");
    EXPECT_EQ(events[1].at, 2500000);
    EXPECT_EQ(events[1].argument, "hello world");
    EXPECT_EQ(events[2].at, 10 * sim::one_second);
    EXPECT_EQ(events[2].verb, "signal");
    EXPECT_EQ(events[2].argument, "TERM");
    EXPECT_EQ(events[2].line, 5);
}

TEST(Script, BadLinesNameTheirLine) {
    std::vector<sim::ScriptEvent> events;
    std::string error;
    EXPECT_FALSE(sim::parse_script("1 console a\nsoon console b\n", events, error));
    EXPECT_EQ(error, "line 2: bad time 'soon'");
    EXPECT_FALSE(sim::parse_script("3\n", events, error));
    EXPECT_EQ(error, "line 1: no verb");
}

TEST(Script, ConsoleEscapes) {
    std::string bytes;
    ASSERT_TRUE(sim::unescape("a\\bb\\r\\x41\\\\", bytes));
    EXPECT_EQ(bytes, "a\bb\rA\\");
    EXPECT_FALSE(sim::unescape("trailing\\", bytes));
    EXPECT_FALSE(sim::unescape("\\xZ1", bytes));
    EXPECT_FALSE(sim::unescape("\\q", bytes));
}

volatile sig_atomic_t alarms_seen = 0;
void count_alarm(int) { alarms_seen = alarms_seen + 1; }

TEST(Clock, EventsRunInOrderAndTheAlarmRaisesARealSignal) {
    struct sigaction action {}, old {};
    action.sa_handler = count_alarm;
    ASSERT_EQ(::sigaction(SIGALRM, &action, &old), 0);
    alarms_seen = 0;

    sim::Clock clock;
    std::vector<int> order;
    clock.at(3 * sim::one_second, [&] { order.push_back(3); return false; });
    clock.at(1 * sim::one_second, [&] { order.push_back(1); return false; });
    clock.at(1 * sim::one_second, [&] { order.push_back(2); return false; });
    EXPECT_EQ(clock.alarm(2), 0u);
    EXPECT_TRUE(clock.advance_to(10 * sim::one_second));  // the handler returned: interrupted
    EXPECT_EQ(clock.now(), 2 * sim::one_second);
    EXPECT_EQ(alarms_seen, 1);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(clock.advance_to(10 * sim::one_second));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(clock.now(), 10 * sim::one_second);

    EXPECT_EQ(clock.alarm(15), 0u);
    clock.advance_to(clock.now() + sim::one_second / 2);
    EXPECT_EQ(clock.alarm(0), 15u);  // the seconds left, rounded up
    ::sigaction(SIGALRM, &old, nullptr);
}

}  // namespace

namespace {

// A slow device that hands out three bytes per read keeps the program busy
// without the clock moving, but it gets on: that is no spinning program.
// Reading the same bytes over and over is.
class ReadProgress : public testing::Test {
protected:
    void SetUp() override {
        device.kernel().set_spin_limit(1000);
        test::write_file(device.host("big.bin"), std::string(6000, 'x'));
        std::string error;
        device.kernel().faults().add(*sim::parse_fault("short-read:/big.bin:3", error));
    }
    test::SimDevice device;
};

TEST_F(ReadProgress, SmallPiecesOfNewDataAreProgress) {
    auto& k = device.kernel();
    const int fd = k.open("/big.bin", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    char piece[64];
    size_t total = 0;
    for (ssize_t n; (k.alarm(30), n = k.read(fd, piece, sizeof piece)) > 0;) total += static_cast<size_t>(n);
    EXPECT_EQ(total, size_t{6000});
    k.alarm(0);
    k.close(fd);
}

TEST_F(ReadProgress, ReadingTheSameBytesAgainIsSpinning) {
    EXPECT_EXIT(
        {
            auto& k = device.kernel();
            const int fd = k.open("/big.bin", O_RDONLY, 0);
            char piece[3];
            for (;;) {
                k.alarm(30);
                k.lseek(fd, 0, SEEK_SET);
                (void)k.read(fd, piece, sizeof piece);
            }
        },
        testing::ExitedWithCode(2), "");
}

}  // namespace
