// Fetching manifests with the real curl, from file:// addresses and from a
// loopback HTTP server, and the server's loop of release checks.
#include <gtest/gtest.h>

#include "release_fixture.h"
#include "test_support.h"
#include "update/check_thread.h"
#include "update/curl.h"
#include "update/manifest.h"
#include "update/setting.h"

namespace ruk {
namespace {

TEST(FetchManifest, FromFilesAndHttpWithTheirFailures) {
    test::ReleaseDir rel;
    rel.publish({});
    test::write_file(rel.path("page.html"), "<html>hello</html>");
    test::HttpServer http(rel.dir().path());
    ASSERT_TRUE(http.started());

    struct Case {
        std::string address;
        std::string error;  // empty: the manifest is read
    };
    const Case cases[] = {
        {rel.file_url("latest.json"), ""},
        {http.url("latest.json"), ""},
        {http.url("moved/latest.json"), ""},  // redirects are followed
        {http.url("missing.json"),
         "can't fetch " + http.url("missing.json") + ": curl: (22) The requested URL returned error: 404"},
        {rel.file_url("missing.json"),
         "can't fetch " + rel.file_url("missing.json") + ": curl: (37) Couldn't open file " + rel.path("missing.json")},
        {http.url("page.html"), http.url("page.html") +
                                    " isn't a ruk manifest: parse error at line 1, column 1: syntax error while parsing value - invalid literal; last read: '<'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        auto got = fetch_manifest(c.address);
        if (c.error.empty()) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(got->version, "0.1.5");
            EXPECT_EQ(got->build, BUILD_NUMBER + 1);
            EXPECT_EQ(got->assets.at("x86_64-unknown-linux-gnu").name, "ruk-linux");
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        }
    }
    // Every request names us, the redirected one on both legs.
    const std::string requests = http.requests();
    EXPECT_NE(requests.find("/moved/latest.json ruk/0.1.4\n/latest.json ruk/0.1.4\n"), std::string::npos) << requests;
    EXPECT_EQ(requests.find("curl/"), std::string::npos) << requests;
}

TEST(FetchManifest, WithoutCurl) {
    test::TempDir empty;
    test::ScopedEnv path{"PATH", empty.path()};
    auto got = fetch_manifest("file:///x/latest.json");
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "can't fetch file:///x/latest.json: can't run curl: No such file or directory");
}

TEST(RunCurl, GivesTheBytesAsTheyAre) {
    test::ReleaseDir rel;
    const std::string bytes("a\0b\xff\n", 5);
    test::write_file(rel.path("blob"), bytes);
    auto got = run_curl({rel.file_url("blob")});
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, bytes);
}

// The loop reads the setting before every check and stops on the first
// report nobody takes or the first pause that says so.
TEST(ReleaseChecks, FollowTheSettingAndStopWhenNobodyListens) {
    test::TempDir config;
    test::ScopedEnv xdg{"XDG_CONFIG_HOME", config.path()};
    test::ReleaseDir rel;
    rel.publish({});

    std::vector<std::string> reports;
    int pauses = 0;
    auto report = [&](Result<Manifest> got) {
        reports.push_back(got ? got->version : got.error().message);
        return true;
    };
    auto pause = [&] {
        ++pauses;
        // Checks 1 and 2 run; off from the third round on; on again for the sixth.
        if (pauses == 2) { EXPECT_TRUE(set_update_checks_enabled(false)); }
        if (pauses == 5) { EXPECT_TRUE(set_update_checks_enabled(true)); }
        return pauses < 6;
    };
    run_release_checks(rel.file_url("latest.json"), report, pause);
    EXPECT_EQ(pauses, 6);
    EXPECT_EQ(reports, (std::vector<std::string>{"0.1.5", "0.1.5", "0.1.5"}));

    // A failure is reported as its text; a report nobody takes ends the loop.
    reports.clear();
    pauses = 0;
    run_release_checks(rel.file_url("gone.json"), [&](Result<Manifest> got) {
        reports.push_back(got ? got->version : got.error().message);
        return false;
    }, pause);
    EXPECT_EQ(pauses, 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("can't fetch " + rel.file_url("gone.json") + ": curl: (37)", 0), 0u) << reports[0];
}

}  // namespace
}  // namespace ruk
