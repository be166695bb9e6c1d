// The release manifest as read from the network, the texts made from it,
// curl's failure line, the digest, the update source and the setting file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"
#include "texts.h"
#include "update/curl.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/setting.h"

namespace ruk {
namespace {

const std::string ASSET = R"({"name":"ruk-linux","size":12,"sha256":"AB12"})";

Manifest with_asset(std::string version, uint64_t build, std::string commit) {
    Manifest m{std::move(version), build, std::move(commit), {}};
    m.assets.emplace("x86_64-unknown-linux-gnu", Asset{"ruk-linux", 12, "AB12"});
    return m;
}

TEST(ParseManifest, AcceptsAndRefuses) {
    struct Case {
        std::string json;
        std::optional<Manifest> want;
        std::string error;
    };
    const Case cases[] = {
        {R"({"version":"0.1.5","build":200,"commit":"abc","assets":{"x86_64-unknown-linux-gnu":)" + ASSET + "}}",
         with_asset("0.1.5", 200, "abc"), ""},
        // Keys in any order, unknown keys ignored, no commit: empty.
        {R"({"extra":[1,{"a":2}],"assets":{"x86_64-unknown-linux-gnu":)" + ASSET + R"(},"build":200,"version":"0.1.5"})",
         with_asset("0.1.5", 200, ""), ""},
        {R"({"version":"1","build":18446744073709551615,"assets":{}})", Manifest{"1", UINT64_MAX, "", {}}, ""},
        {R"({"version":"0.1.5","build":200})", std::nullopt, "missing field `assets`"},
        {R"({"build":200,"assets":{}})", std::nullopt, "missing field `version`"},
        {R"({"version":"1","assets":{}})", std::nullopt, "missing field `build`"},
        {R"({"version":"1","build":-1,"assets":{}})", std::nullopt, "invalid type for `build`: integer `-1`, expected u64"},
        {R"({"version":"1","build":1.5,"assets":{}})", std::nullopt,
         "invalid type for `build`: floating point `1.5`, expected u64"},
        {R"({"version":"1","build":18446744073709551616,"assets":{}})", std::nullopt,
         "invalid type for `build`: floating point `1.8446744073709552e+19`, expected u64"},
        {R"({"version":"1","build":"200","assets":{}})", std::nullopt,
         "invalid type for `build`: string \"200\", expected u64"},
        {R"({"version":1,"build":2,"assets":{}})", std::nullopt, "invalid type for `version`: integer `1`, expected a string"},
        {R"({"version":"1","build":2,"commit":null,"assets":{}})", std::nullopt,
         "invalid type for `commit`: null, expected a string"},
        {R"({"version":"1","build":2,"assets":[]})", std::nullopt, "invalid type for `assets`: sequence, expected a map"},
        {R"({"version":"1","build":2,"assets":{"t":{"name":"x","size":1}}})", std::nullopt, "missing field `sha256`"},
        {R"({"version":"1","build":2,"assets":{"t":"x"}})", std::nullopt, "invalid type for `t`: string \"x\", expected an Asset"},
        {R"({"version":"1","build":2,"build":3,"assets":{}})", std::nullopt, "duplicate field `build`"},
        {R"({"version":"1","build":2,"assets":{"t":)" + ASSET + R"(,"t":)" + ASSET + "}}", std::nullopt, "duplicate field `t`"},
        {R"([1,2])", std::nullopt, "invalid type: sequence, expected a Manifest"},
        {"<html>404</html>", std::nullopt,
         "parse error at line 1, column 1: syntax error while parsing value - invalid literal; last read: '<'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        auto got = parse_manifest(c.json);
        if (c.want) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(*got, *c.want);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        }
    }
}

TEST(ReleaseLine, ShowsTheCommitOnlyWhenThereIsOne) {
    // 1793610000000 ms is 2026-11-02 09:00:00 UTC.
    EXPECT_EQ(release_line(with_asset("0.1.5", 1793610000000, "abc1234")),
              "ruk 0.1.5 (abc1234, built 2026-11-02 09:00:00 UTC)");
    EXPECT_EQ(release_line(with_asset("0.1.5", 1793610000000, "")), "ruk 0.1.5 (built 2026-11-02 09:00:00 UTC)");
    // What the network says reaches a terminal only without its controls.
    EXPECT_EQ(release_line(with_asset("0.1.5\x1b[2J", 0, "a\nb")), "ruk 0.1.5?[2J (a?b, built 1970-01-01 00:00:00 UTC)");
}

TEST(AssetAddress, IsBesideTheManifest) {
    const std::pair<std::string, std::string> cases[] = {
        {"https://example.com/ruk/releases/latest.json", "https://example.com/ruk/releases/ruk-linux"},
        {"file:///srv/rel/latest.json", "file:///srv/rel/ruk-linux"},
        {"https://example.com/latest.json?x=1", "https://example.com/ruk-linux"},
        {"latest.json", "/ruk-linux"},
    };
    for (const auto& [manifest, want] : cases) EXPECT_EQ(asset_address(manifest, "ruk-linux"), want) << manifest;
}

TEST(Curl, FixedArgumentsAndTheLastErrorLine) {
    EXPECT_EQ(curl_command({"-o", "f", "u"}),
              (std::vector<std::string>{"curl", "-fsSL", "--max-time", "120", "-A", "ruk/0.1.4", "-o", "f", "u"}));
    const std::pair<std::string, std::string> cases[] = {
        {"", "curl failed"},
        {" \n\t", "curl failed"},
        {"curl: (6) Could not resolve host: nowhere\n", "curl: (6) Could not resolve host: nowhere"},
        {"warning: x\r\ncurl: (22) The requested URL returned error: 404\r\n", "curl: (22) The requested URL returned error: 404"},
        {"a\nb\n\n  \n", "b"},
        {"bad \xff byte\n", "bad \xef\xbf\xbd byte"},
    };
    for (const auto& [err, want] : cases) EXPECT_EQ(curl_failure(err), want) << err;
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(UpdateSource, TheVariableWinsWhenNotEmpty) {
    {
        test::ScopedEnv url{"RUK_UPDATE_URL", "https://example.com/ruk/releases/latest.json"};
        EXPECT_EQ(update_source(), "https://example.com/ruk/releases/latest.json");
    }
    // This build has no address compiled in.
    ASSERT_TRUE(DEFAULT_UPDATE_URL.empty());
    for (std::optional<std::string> value : {std::optional<std::string>(""), std::optional<std::string>()}) {
        test::ScopedEnv url{"RUK_UPDATE_URL", value};
        EXPECT_EQ(update_source(), std::nullopt);
    }
}

TEST(UpdateSetting, OnlyOffTurnsTheChecksOff) {
    test::TempDir dir;
    test::ScopedEnv config{"XDG_CONFIG_HOME", dir / "cfg"};
    EXPECT_TRUE(update_checks_enabled()) << "a missing file means on";

    const std::pair<std::string, bool> cases[] = {
        {"off", false}, {"off\n", false}, {"  off \r\n", false}, {"Off", true}, {"OFF\n", true},
        {"of", true},   {"off off", true}, {"", true},          {"on", true},
    };
    ASSERT_TRUE(set_update_checks_enabled(false));
    EXPECT_EQ(test::read_file(dir / "cfg/ruk/update"), "off\n");
    EXPECT_FALSE(update_checks_enabled());
    for (const auto& [content, enabled] : cases) {
        test::write_file(dir / "cfg/ruk/update", content);
        EXPECT_EQ(update_checks_enabled(), enabled) << '"' << content << '"';
    }
    ASSERT_TRUE(set_update_checks_enabled(true));
    EXPECT_NE(::access((dir / "cfg/ruk/update").c_str(), F_OK), 0);
    EXPECT_TRUE(set_update_checks_enabled(true)) << "a missing file is already on";
}

TEST(UpdateSetting, FailuresAreReturned) {
    test::TempDir dir;
    // The config directory's place is taken by a file.
    test::write_file(dir / "cfg", "");
    test::ScopedEnv config{"XDG_CONFIG_HOME", dir / "cfg"};
    auto off = set_update_checks_enabled(false);
    ASSERT_FALSE(off);
    EXPECT_NE(off.error().message.find("Not a directory"), std::string::npos) << off.error().message;
    // A directory where the file should be cannot be removed by "on".
    test::ScopedEnv config2{"XDG_CONFIG_HOME", dir / "cfg2"};
    std::filesystem::create_directories(dir / "cfg2/ruk/update/x");
    auto on = set_update_checks_enabled(true);
    ASSERT_FALSE(on);
    EXPECT_NE(on.error().message.find("Is a directory"), std::string::npos) << on.error().message;
}

}  // namespace
}  // namespace ruk
