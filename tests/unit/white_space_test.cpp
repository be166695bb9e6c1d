// Trimming white space of any script, and never a byte that is not UTF-8.
#include <gtest/gtest.h>

#include "util/white_space.h"

namespace ruk {
namespace {

TEST(WhiteSpace, TrimsUnicodeBlanksButNotBrokenOrOverlongBytes) {
    struct Case {
        std::string_view text, trimmed;
    } cases[] = {
        {" \t off \r\n", "off"},
        {"\xc2\xa0off\xe3\x80\x80", "off"},           // no-break space, ideographic space
        {"\xe2\x80\x83 a b \xe2\x80\xa8", "a b"},     // em space, line separator
        {"\xe0\x80\xa0off\xe0\x80\xa0", "\xe0\x80\xa0off\xe0\x80\xa0"},  // an overlong space is no space
        {"\xc0\xa0off", "\xc0\xa0off"},
        {"off\xa0", "off\xa0"},                         // a lone continuation byte
        {"\xe3\x80", "\xe3\x80"},                       // a cut sequence
        {"", ""},
        {"   ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(trim_white_space(c.text), c.trimmed) << '"' << c.text << '"';
}

}  // namespace
}  // namespace ruk
