#include "sim/web_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(WebText, HtmlTextKeepsCharactersAndShowsStrayBytes) {
    const struct {
        std::string bytes, text;
    } cases[] = {
        {"a<b>&\"c\"\td", "a&lt;b&gt;&amp;&quot;c&quot;\td"},
        {"\x01\x1b[0m\x7f\r", "\\x01\\x1b[0m\\x7f\\x0d"},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},  // é € and an emoji
        {"\xc0\x80", "\\xc0\\x80"},                                                            // an overlong NUL
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},                                                   // an overlong slash
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                                                   // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},                                          // beyond U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},                                                            // cut short at the end
        {"\xe2\x82<", "\\xe2\\x82&lt;"},                                                       // cut short by markup
        {"\xff\xfe", "\\xff\\xfe"},
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const auto& c : cases) EXPECT_EQ(sim::html_text(c.bytes), c.text) << c.text;
}

TEST(WebText, Base64OfTheStandardsVectors) {
    const struct {
        std::string bytes, text;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"},
                 {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(sim::base64(bytes), c.text) << c.text;
    }
}

}  // namespace
