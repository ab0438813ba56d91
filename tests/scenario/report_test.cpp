// The page of a run (quillmar-sim boot --report): read back as text and
// checked against the run's own output and pictures. tests/browser opens
// one in a real browser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/param_name.h"
#include "support/simrun.h"
#include "support/testdir.h"

namespace {

struct PageLine {
    std::string at;
    bool event;
    std::string text;                // the whole line as a terminal shows it
    std::vector<std::string> spans;  // "N:text" per run of one stream N
};
struct PagePicture {
    std::string at, caption;
    std::string png;
};
struct Page {
    std::string outcome_tone, outcome;
    std::vector<PageLine> lines;
    std::vector<PagePicture> pictures;
    std::vector<std::string> times;  // of lines and pictures, in page order
};

std::string unescape_html(std::string text) {
    static const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&mdash;", "\u2014"}, {"&amp;", "&"}};
    for (const auto& [entity, plain] : entities)
        for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1))
            text.replace(at, std::strlen(entity), plain);
    return text;
}

std::string decode_base64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<uint32_t>(digits.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>(bits >> count & 0xff);
        }
    }
    return bytes;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start = end + 1))
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

Page read_page(const std::string& path) {
    const std::string html = test::read_file(path);
    Page page;
    std::smatch m;
    if (std::regex_search(html, m, std::regex("<p id=\"outcome\" class=\"(\\w+)\">(.*?)</p>"))) {
        page.outcome_tone = m[1];
        page.outcome = unescape_html(std::regex_replace(std::string(m[2]), std::regex("<[^>]*>"), ""));
    }
    // One entry per line of the page; pictures are cut out by hand, as a
    // regular expression over their data would be slow.
    const std::regex line_entry("<div class=\"line( event)?\"><span class=\"t\">([0-9.]+)</span>(.*)</div>");
    const std::regex span("<span class=\"(s\\d|x)\">(.*?)</span>");
    for (const std::string& row : lines_of(html)) {
        if (row.rfind("<figure>", 0) == 0) {
            const size_t data = row.find("base64,") + 7;
            const size_t caption = row.find("<figcaption>") + 12;
            const std::string text = unescape_html(row.substr(caption, row.find("</figcaption>") - caption));
            page.pictures.push_back(
                {text.substr(0, text.find(' ')), text, decode_base64(row.substr(data, row.find('"', data) - data))});
            page.times.push_back(page.pictures.back().at);
            continue;
        }
        std::smatch e;
        if (!std::regex_match(row, e, line_entry)) continue;
        PageLine line {e[2], e[1].matched, "", {}};
        const std::string body = e[3];
        for (auto s = std::sregex_iterator(body.begin(), body.end(), span); s != std::sregex_iterator(); ++s) {
            const std::string text = unescape_html((*s)[2]);
            line.text += text;
            line.spans.push_back(std::string((*s)[1]).substr(1) + ":" + text);
        }
        page.lines.push_back(line);
        page.times.push_back(e[2]);
    }
    return page;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

struct EndCase {
    const char* name;
    const char* fault;  // "" for none
    bool remove_mmc;
    const char* last_line;
    const char* tone;
    size_t pictures;
};

class RunPage : public testing::TestWithParam<EndCase> {};

// However the run ends, the page shows how on top, every line the console
// carried in order, and the panel's pictures byte for byte where they were
// drawn (time order).
TEST_P(RunPage, HoldsTheWholeRunAndHowItEnded) {
    const auto& c = GetParam();
    test::TempDir dir;
    test::init_device(dir / "dev");
    if (c.remove_mmc) {
        ASSERT_EQ(std::remove((dir / "dev/mmc0.img").c_str()), 0);
    }
    std::vector<std::string> args = {"boot", dir / "dev", "--report", dir / "run.html"};
    if (*c.fault != '\0') args.insert(args.end(), {"--fault", c.fault});
    const auto run = test::run_sim(args);
    ASSERT_EQ(run.last_line(), c.last_line) << run.output;

    const Page page = read_page(dir / "run.html");
    EXPECT_EQ(page.outcome_tone, c.tone);
    EXPECT_NE(page.outcome.find(c.last_line), std::string::npos) << page.outcome;

    std::vector<std::string> console;
    for (const auto& line : page.lines)
        if (!line.event) console.push_back(line.text);
    auto expected = lines_of(run.output);
    expected.pop_back();  // the simulator's own last line is the outcome
    EXPECT_EQ(console, expected);
    if (*c.fault != '\0') {
        ASSERT_FALSE(page.lines.empty());
        EXPECT_TRUE(page.lines.front().event);
        EXPECT_EQ(page.lines.front().text, std::string("fault: ") + c.fault);
    }

    ASSERT_EQ(page.pictures.size(), c.pictures);
    for (size_t n = 0; n < page.pictures.size(); ++n) {
        char file[48];
        std::snprintf(file, sizeof file, "screens/%03zu.png", n % 1000);
        EXPECT_NE(page.pictures[n].caption.find(std::string("(") + file + ")"), std::string::npos)
            << page.pictures[n].caption;
        EXPECT_EQ(page.pictures[n].png, test::read_file(dir / ("dev/" + std::string(file)))) << file;
    }
    for (size_t n = 1; n < page.times.size(); ++n)
        EXPECT_LE(std::stod(page.times[n - 1]), std::stod(page.times[n])) << "entry " << n;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RunPage,
    testing::Values(EndCase {"boot_failure", "", true, "SIM: power-off", "bad", 2},
                    EndCase {"first_boot_hands_over", "", false, "SIM: exec /bin/kinit", "good", 0},
                    EndCase {"power_cut", "powercut:1", false, "SIM: power-off (power cut after write 1)", "bad", 0}),
    test::ParamName());

// What was typed is shown as text: markup, control bytes and bytes that are
// no UTF-8 cannot change the page.
TEST(RunPageText, TypedMarkupAndStrayBytesStayText) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    test::write_file(dir / "keys", "0.2 console\n+1 console <img src=x onerror=alert(1)>&\\x01\\xff\\xc3\\xa9\n");
    const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "keys", "--report", dir / "run.html"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    const std::string html = test::read_file(dir / "run.html");
    EXPECT_EQ(html.find("<img src=x"), std::string::npos);
    const Page page = read_page(dir / "run.html");
    bool typed = false;
    for (const auto& line : page.lines)
        for (const auto& text : line.spans) typed = typed || text == "0:<img src=x onerror=alert(1)>&\\x01\\xff\u00e9";
    EXPECT_TRUE(typed) << html;
}

// Without recorded pictures (screens none) the page still has them.
TEST(RunPageText, PicturesEvenWhenTheDeviceRecordsNone) {
    test::TempDir dir;
    test::init_device(dir / "dev", {"--screens", "none"});
    ASSERT_EQ(std::remove((dir / "dev/mmc0.img").c_str()), 0);
    const auto run = test::run_sim({"boot", dir / "dev", "--report", dir / "run.html"});
    EXPECT_EQ(run.last_line(), "SIM: power-off") << run.output;
    EXPECT_FALSE(exists(dir / "dev/screens"));
    const Page page = read_page(dir / "run.html");
    ASSERT_EQ(page.pictures.size(), 2u);
    EXPECT_EQ(page.pictures[0].png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(page.pictures[0].caption.find("screens/"), std::string::npos);
}

// A page that cannot be written stops the run before it starts.
TEST(RunPageText, UnwritablePathIsRefusedBeforeTheRun) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    const auto run = test::run_sim({"boot", dir / "dev", "--report", dir / "no/such/dir/run.html"});
    EXPECT_EQ(run.exit_code, 2) << run.output;
    EXPECT_NE(run.output.find("cannot write"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("SIM:"), std::string::npos) << run.output;
}

}  // namespace
