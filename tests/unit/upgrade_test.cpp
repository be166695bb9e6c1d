#include <gtest/gtest.h>

#include "texts.h"
#include "update/upgrade.h"

namespace ruk {
namespace {

TEST(AnswerUpgrade, ComparesTheOfferedBuild) {
    const std::string build = std::to_string(BUILD_NUMBER);
    const std::string keeps = "it keeps running the old ruk until it restarts (ruk kill-server ends every window)";
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string text;
    };
    const Case cases[] = {
        {{"__upgrade", "5", "/p"}, true, "current"},
        {{"__upgrade", build, "/p"}, true, "current"},
        {{"__upgrade", "+" + build, "/p"}, true, "current"},
        {{"__upgrade", std::to_string(BUILD_NUMBER + 1), "/p"}, false, keeps},
        {{"__upgrade", "18446744073709551615", "/p"}, false, keeps},
        {{"__upgrade", "18446744073709551616", "/p"}, false, "bad build"},  // past 64 bits
        {{"__upgrade", "123456789012345678901", "/p"}, false, "bad build"},
        {{"__upgrade", "12a", "/p"}, false, "bad build"},
        {{"__upgrade", "-5", "/p"}, false, "bad build"},
        {{"__upgrade", "+", "/p"}, false, "bad build"},
        {{"__upgrade", "", "/p"}, false, "bad build"},
        {{"__upgrade", build}, false, "usage: ruk __upgrade BUILD PATH"},
        {{"__upgrade", build, "/p", "more"}, false, "usage: ruk __upgrade BUILD PATH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "");
        const auto got = answer_upgrade(c.args);
        EXPECT_EQ(got.ok, c.ok);
        EXPECT_EQ(got.text, c.text);
    }
}

TEST(VersionLine, ReadsTheBuildNumberAsMilliseconds) {
    EXPECT_EQ(version_line(), "ruk 0.1.4 4b1d0e9, built 2026-10-05 15:24:23 UTC");
    EXPECT_EQ(version_line(0), "ruk 0.1.4 4b1d0e9, built 1970-01-01 00:00:00 UTC");
}

}  // namespace
}  // namespace ruk
