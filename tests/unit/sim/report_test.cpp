#include "sim/report.h"

#include <gtest/gtest.h>

#include "support/testdir.h"

namespace {

// The console part of a page: both output streams and the input share one
// line, and a carriage return or backspace writes over it, as the
// terminal of a serial line shows it.
TEST(RunReport, ConsoleLinesAsTheTerminalShowsThem) {
    test::TempDir dir;
    sim::RunReport report(dir / "page.html", "dev");
    std::string error;
    ASSERT_TRUE(report.start(error)) << error;
    EXPECT_NE(test::read_file(dir / "page.html").find("has not ended"), std::string::npos);

    report.console(1'000, 1, "Press ENTER...  ");
    report.console(2'000'000, 2, "ERROR:x\n");
    report.console(3'000'000, 1, "copy \r1024   \r2048\n");
    report.console(4'000'000, 2, "abc\b\bX\n");
    report.console(5'000'000, 0, "q\n");
    report.console(6'000'000, 1, "\b\bno room\n");
    report.console(7'000'000, 1, "unended");
    ASSERT_TRUE(report.finish(7'500'000, "power-off", error)) << error;
    const std::string page = test::read_file(dir / "page.html");
    for (const char* line : {
             "<span class=\"t\">0.001</span><span class=\"s1\">Press ENTER...  </span><span "
             "class=\"s2\">ERROR:x</span>",
             "<span class=\"t\">3.000</span><span class=\"s1\">2048   </span></div>",
             "<span class=\"t\">4.000</span><span class=\"s2\">aXc</span></div>",
             "<span class=\"t\">5.000</span><span class=\"s0\">q</span></div>",
             "<span class=\"t\">6.000</span><span class=\"s1\">no room</span></div>",
             "<span class=\"t\">7.000</span><span class=\"s1\">unended</span></div>",
             "Outcome at 7.500 s: <code>SIM: power-off</code>",
         })
        EXPECT_NE(page.find(line), std::string::npos) << line << "\n" << page;
}

}  // namespace
