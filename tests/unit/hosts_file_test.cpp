// The saved machines: the file's format both ways, and `hosts`, `connect`
// and `disconnect` as they edit it while no server runs.
#include "hosts/hosts_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace ruk {
namespace {

using Entries = std::vector<HostEntry>;

TEST(HostsFormat, Reading) {
    struct Case {
        std::string name, text;
        Entries want;
    };
    const Case cases[] = {
        {"host alone", "box\n", {{"box", "ruk"}}},
        {"tab before a command with blanks", "me@box\t/opt/ruk/bin/ruk  --flag x\n", {{"me@box", "/opt/ruk/bin/ruk  --flag x"}}},
        {"CRLF and no final newline", "a\r\nb ruk2\r\nc", {{"a", "ruk"}, {"b", "ruk2"}, {"c", "ruk"}}},
        {"comments, blank lines, option-like host",
         "  # indented comment\n\n   \n-oProxyCommand=x ruk\n#box\nok\n",
         {{"ok", "ruk"}}},
        {"invalid destinations skipped", "bad/host\nb\"q\nhé\n[fe80::1] ruk\nu@[fe80::1]:22\n",
         {{"[fe80::1]", "ruk"}, {"u@[fe80::1]:22", "ruk"}}},
        {"unicode white space trims and cuts", "\u3000box\u00a0ruk --x\u2003\n", {{"box", "ruk --x"}}},
        {"duplicates kept", "a\na x\n", {{"a", "ruk"}, {"a", "x"}}},
        {"not UTF-8", "a\n\xff\nb\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_hosts(c.text), c.want);
    }
}

TEST(HostsFormat, WritingRoundTrips) {
    const Entries entries{{"box", "ruk"}, {"me@build-7.example.com", "/opt/ruk --x"}, {"box", "ruk2"}};
    const std::string text = format_hosts(entries);
    EXPECT_EQ(text,
              "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\n"
              "box\n"
              "me@build-7.example.com /opt/ruk --x\n"
              "box ruk2\n");
    EXPECT_EQ(parse_hosts(text), entries);
    EXPECT_EQ(format_hosts({}), "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\n");
}

class OfflineHosts : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedEnv config{"XDG_CONFIG_HOME", dir / "cfg"};
    std::string path = dir / "cfg/ruk/hosts";

    static std::string run(const std::vector<std::string>& words) {
        auto result = offline_hosts_command(words);
        return result ? "ok: " + *result : "error: " + result.error().message;
    }
};

TEST_F(OfflineHosts, ConnectListDisconnect) {
    EXPECT_EQ(hosts_path(), path);
    const std::string none = "ok: no machines configured (add one with: ruk connect HOST)";
    const std::pair<std::vector<std::string>, std::string> steps[] = {
        {{"hosts"}, none},
        {{"connect", "b"}, "ok: added b; ruk will connect to it when it starts (saved in " + path + ")"},
        {{"connect", "me@build-7.xy", "/opt/ruk", "--x"},
         "ok: added me@build-7.xy; ruk will connect to it when it starts (saved in " + path + ")"},
        {{"connect", "b", "other"}, "error: b is already in " + path},
        {{"connect", "bad host"}, "error: 'bad host' is not a valid ssh destination"},
        {{"connect", "-oProxyCommand=x"}, "error: '-oProxyCommand=x' is not a valid ssh destination"},
        {{"connect", "u@[fe80::1]"}, "ok: added u@[fe80::1]; ruk will connect to it when it starts (saved in " + path + ")"},
        {{"connect", "evil", "ruk\nx"}, "error: the remote command may not contain control characters"},
        {{"connect", "evil", "ruk\xff"}, "error: the remote command is not valid UTF-8"},
        {{"hosts"},
         "ok: HOST           STATUS\n"
         "b              not connected (ruk is not running)\n"
         "me@build-7.xy  not connected (ruk is not running)\n"
         "u@[fe80::1]    not connected (ruk is not running)"},
        {{"disconnect", "nope"}, "error: nope is not in " + path},
        {{"disconnect", "u@[fe80::1]"}, "ok: removed u@[fe80::1]"},
        {{"connect"}, "error: no server running"},
        {{"disconnect"}, "error: no server running"},
        {{"disconnect", "b", "c"}, "error: no server running"},
        {{"hosts", "x"}, "error: no server running"},
    };
    for (const auto& [words, want] : steps) {
        SCOPED_TRACE(words.size() > 1 ? words[0] + " " + words[1] : words[0]);
        EXPECT_EQ(run(words), want);
    }
    EXPECT_EQ(test::read_file(path),
              "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\n"
              "b\n"
              "me@build-7.xy /opt/ruk --x\n");
}

TEST_F(OfflineHosts, NarrowHostsPadToFourAndDisconnectRemovesEveryLine) {
    ::mkdir((dir / "cfg").c_str(), 0700);
    ::mkdir((dir / "cfg/ruk").c_str(), 0700);
    test::write_file(path, "# mine\nx\nbuild-server\n  # note\nx other\n");
    EXPECT_EQ(run({"hosts"}),
              "ok: HOST          STATUS\n"
              "x             not connected (ruk is not running)\n"
              "build-server  not connected (ruk is not running)\n"
              "x             not connected (ruk is not running)");
    EXPECT_EQ(run({"disconnect", "x"}), "ok: removed x");
    EXPECT_EQ(test::read_file(path), "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\nbuild-server\n");

    test::write_file(path, "a\n");
    EXPECT_EQ(run({"hosts"}), "ok: HOST  STATUS\na     not connected (ruk is not running)");
}

TEST_F(OfflineHosts, UnwritableDirectoryIsNamed) {
    test::write_file(dir / "cfg", "a file where the directory should be");
    const auto result = offline_hosts_command({"connect", "box"});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "can't create " + dir / "cfg/ruk" + ": Not a directory");
    EXPECT_TRUE(read_hosts().empty());
}

TEST_F(OfflineHosts, UnreadableOrMissingFileIsEmpty) {
    EXPECT_TRUE(read_hosts().empty());
    ASSERT_TRUE(write_hosts({{"a", "ruk"}}));
    EXPECT_EQ(read_hosts(), (Entries{{"a", "ruk"}}));
    test::write_file(path, "a\n\xc3\n");
    EXPECT_TRUE(read_hosts().empty());
}

}  // namespace
}  // namespace ruk
