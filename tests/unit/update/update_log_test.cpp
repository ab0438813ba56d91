// The console lines an update's log keeps, and their bound.
#include "update/update_log.h"

#include <gtest/gtest.h>

#include <string>

#include "support/simkernel.h"
#include "sys/console.h"
#include "update/update.h"

namespace {

std::string console_part(const std::string& log) { return log.substr(log.find("\r\n\r\n") + 4); }

// An attempt that prints far more than the bound keeps its last lines,
// whole, within the bound, and says how many it left out.
TEST(UpdateLog, ConsoleOfALongAttemptKeepsItsLastWholeLinesWithinTheBound) {
    test::SimDevice device;
    qm::update_attempt attempt;
    constexpr int lines = 4000;
    for (int n = 0; n < lines; ++n)
        qm::err("INFO:line %04d of a long attempt, long enough that the lines overflow the bound\n", n);
    const std::string log = qm::update_log_text(attempt, {1, qm::update_ok, false});
    const std::string console = console_part(log);
    ASSERT_LE(console.size(), qm::update_log_console_bytes);
    const std::string line = "INFO:line 0000 of a long attempt, long enough that the lines overflow the bound\r\n";
    const size_t kept = console.size() / line.size();
    // Whole lines only, the last ones, as many as fit.
    EXPECT_EQ(console.size() % line.size(), 0u);
    EXPECT_EQ(kept, qm::update_log_console_bytes / line.size());
    EXPECT_EQ(console.rfind("INFO:line 3999 ", console.size() - line.size()), console.size() - line.size());
    EXPECT_EQ(console.rfind("INFO:line " + std::to_string(lines - kept) + " ", 0), 0u) << console.substr(0, 100);
    EXPECT_NE(log.find("; " + std::to_string(lines - kept) + " earlier lines left out\r\n"), std::string::npos)
        << log.substr(0, 1500);
}

// The log holds what a terminal showed: a count that writes over itself is
// its last value, control bytes are left out; only the innermost capture
// takes the lines while it runs.
TEST(UpdateLog, ConsoleLinesAsTheTerminalShowedThemAndOnlyTheAttempts) {
    test::SimDevice device;
    qm::update_attempt outer;
    qm::out("before the attempt\n");
    std::string inner_log;
    {
        qm::update_attempt attempt;
        qm::out("\rcopied 1048576   \rcopied 2097152\n");
        qm::err("EMERGENCY:\a*** alarm \x1b[1mbold\x1b[0m ***\n");
        qm::out("countdown 10\b\b 9\b\b 8\n");
        qm::out("a line left unended");
        inner_log = console_part(qm::update_log_text(attempt, {0, qm::update_failed, true}));
    }
    qm::out("\nafter the attempt\n");
    EXPECT_EQ(inner_log,
              "copied 2097152   \r\nEMERGENCY:*** alarm [1mbold[0m ***\r\ncountdown  8\r\na line left unended\r\n");
    EXPECT_EQ(console_part(qm::update_log_text(outer, {0, qm::update_ok, false})),
              "before the attempt\r\n\r\nafter the attempt\r\n");
}

}  // namespace
