// `ruk version` and `ruk update` with the real binary: releases served from
// file:// addresses and a loopback HTTP server, installed over a copy of ruk
// in a directory of the test's own, and a server that checks for releases
// by itself and announces a newer one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "protocol/messages.h"
#include "release_fixture.h"
#include "server/lifecycle.h"
#include "sys/sys.h"
#include "terminal_harness.h"
#include "test_support.h"
#include "texts.h"

namespace ruk {
namespace {

using test::RukHome;
using test::ScopedEnv;

const std::string KEEPS = "it keeps running the old ruk until it restarts (ruk kill-server ends every window)";
const std::string NO_SOURCE = "ruk: this build of ruk has no update source (it was built without RUK_UPDATE_URL)\n";

std::string release_of(const std::string& version, uint64_t build, const std::string& commit = "abc1234") {
    return "ruk " + version + " (" + (commit.empty() ? "" : commit + ", ") + "built " + build_time_text(build) + " UTC)";
}
const std::string NEWER = release_of("0.1.5", BUILD_NUMBER + 1);

// A copy of the built ruk in a directory of its own, to be updated.
struct Installed {
    test::TempDir dir;
    std::string exe = dir / "ruk";
    Installed() {
        std::filesystem::copy_file(RUK_BINARY, exe);
        ::chmod(exe.c_str(), 0755);
    }
    test::RunResult run(const RukHome& home, std::vector<std::string> args, const test::EnvChanges& extra = {}) const {
        args.insert(args.begin(), exe);
        auto env = home.env();
        env.insert(env.end(), extra.begin(), extra.end());
        return test::run(args, env);
    }
    bool untouched() const { return test::sha256_of_file(exe) == test::sha256_of_file(RUK_BINARY); }
    std::vector<std::string> leftovers() const { return test::files_starting(dir.path(), ".ruk-update-"); }
    bool has_kept() const { return ::access((dir / "ruk.old").c_str(), F_OK) == 0; }
};

// Starts a server of the built ruk for the home, with these variables.
void start_server(const RukHome& home, const test::EnvChanges& extra = {}) {
    std::vector<std::unique_ptr<ScopedEnv>> scoped;
    for (const auto& [name, value] : home.env()) scoped.push_back(std::make_unique<ScopedEnv>(name, value));
    for (const auto& [name, value] : extra) scoped.push_back(std::make_unique<ScopedEnv>(name, value));
    auto conn = connect_or_start(RUK_BINARY);
    ASSERT_TRUE(conn) << conn.error().message;
}

TEST(Version, ReportsTheClientAndTheServer) {
    RukHome home;
    const std::string client = "client: ruk 0.1.4 4b1d0e9, built 2026-10-05 15:24:23 UTC\n";
    ASSERT_EQ(client, "client: " + version_line() + "\n");
    auto got = home.ruk({"version", "ignored"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, client + "server: not running\n");
    EXPECT_EQ(got.err, "");
    EXPECT_TRUE(home.server_pids().empty()) << "version never starts a server";

    start_server(home);
    got = home.ruk({"version"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, client + "server: " + version_line() + "\n");
}

// A stand-in on the socket: the offer every version report makes first is
// answered "current", "version" as the case says.
TEST(Version, TellsAServerFromBeforeUpgradesInPlace) {
    RukHome home;
    ::mkdir(home.runtime_dir().c_str(), 0700);
    struct Case {
        std::string what;
        std::optional<protocol::ServerMessage> answer;
        std::string server;
    };
    const Case cases[] = {
        {"failure", protocol::server::Reply{false, "unknown command 'version'"}, "an older ruk, from before upgrades in place"},
        {"another message", protocol::server::Detach{"exited"}, "an older ruk, from before upgrades in place"},
        {"no answer", std::nullopt, "not running"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(home.socket_path().c_str());
        auto listener = sys::listen_unix(home.socket_path());
        ASSERT_TRUE(listener) << listener.error().message;
        std::vector<std::vector<std::string>> commands;
        std::thread standin([&] {
            for (int i = 0; i < 2; ++i) {
                auto conn = sys::accept_unix(listener->get());
                if (!conn) return;
                protocol::FrameReader reader(conn->get());
                auto message = protocol::read_client_message(reader);
                const auto* command = message && *message ? std::get_if<protocol::client::Command>(&**message) : nullptr;
                if (!command) return;
                commands.push_back(command->args);
                if (command->args[0] == "__upgrade")
                    (void)protocol::write_server_message(conn->get(), protocol::server::Reply{true, "current"});
                else if (c.answer)
                    (void)protocol::write_server_message(conn->get(), *c.answer);
            }
        });
        auto got = home.ruk({"version"});
        standin.join();
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.out, "client: " + version_line() + "\nserver: " + c.server + "\n");
        EXPECT_EQ(commands, (std::vector<std::vector<std::string>>{
                                {"__upgrade", std::to_string(BUILD_NUMBER), std::filesystem::canonical(RUK_BINARY).string()},
                                {"version"}}));
    }
}

TEST(Update, ChecksAndSettingsWithoutInstalling) {
    RukHome home;
    Installed ruk;
    test::ReleaseDir rel;
    test::PublishedRelease same;
    same.version = "0.1.4";
    same.build = BUILD_NUMBER;
    same.commit = "";
    rel.publish(same, "same.json");
    test::PublishedRelease newer;
    rel.publish(newer, "newer.json");
    newer.target = "aarch64-apple-darwin";
    rel.publish(newer, "other.json");
    test::write_file(rel.path("broken.json"), R"({"version":"0.1.5","build":1})");
    const std::string setting = home.xdg_config() + "/ruk/update";

    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> manifest;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{"update"}, {}, 1, "", NO_SOURCE},
        {{"update", "check"}, {}, 1, "", NO_SOURCE},
        {{"update", "check"}, "same.json", 0,
         "this is " + version_line() + "\nup to date (latest is " + release_of("0.1.4", BUILD_NUMBER, "") + ")\n", ""},
        {{"update", "check"}, "newer.json", 0,
         "this is " + version_line() + "\navailable: " + NEWER + " from " + rel.file_url("newer.json") +
             "\nrun `ruk update` to install it\n", ""},
        {{"update"}, "same.json", 0, "already up to date: " + version_line() + "\n", ""},
        {{"update"}, "other.json", 1, "downloading " + NEWER + "... ",
         "ruk: ruk 0.1.5 has no build for x86_64-unknown-linux-gnu\n"},
        {{"update"}, "broken.json", 1, "",
         "ruk: " + rel.file_url("broken.json") + " isn't a ruk manifest: missing field `assets`\n"},
        {{"update", "check"}, "gone.json", 1, "",
         "ruk: can't fetch " + rel.file_url("gone.json") + ": curl: (37) Couldn't open file " + rel.path("gone.json") + "\n"},
        {{"update", "now"}, {}, 1, "", "ruk: usage: ruk update [check|on|off]\n"},
        {{"update", "check", "now"}, "newer.json", 1, "", "ruk: usage: ruk update [check|on|off]\n"},
        {{"update", "off"}, {}, 0, "automatic update checks are off\n", ""},
        {{"update", "on"}, {}, 0, "automatic update checks are on\n", ""},
        {{"update", "on"}, {}, 0, "automatic update checks are on\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + c.manifest.value_or("-"));
        test::EnvChanges env{{"RUK_UPDATE_URL", c.manifest ? std::optional(rel.file_url(*c.manifest)) : std::nullopt}};
        auto got = ruk.run(home, c.args, env);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
        if (c.args.back() == "off") { EXPECT_EQ(test::read_file(setting), "off\n"); }
        if (c.args.back() == "on") { EXPECT_NE(::access(setting.c_str(), F_OK), 0); }
    }
    EXPECT_TRUE(ruk.untouched());
    EXPECT_FALSE(ruk.has_kept());
    EXPECT_TRUE(home.server_pids().empty());
}

TEST(Update, InstallsANewerReleaseAndTellsTheServer) {
    RukHome home;
    test::ReleaseDir rel;
    test::HttpServer http(rel.dir().path());
    ASSERT_TRUE(http.started());
    test::PublishedRelease published;
    rel.publish(published);
    // A digest in capitals still matches.
    std::string manifest = test::read_file(rel.path("latest.json"));
    const std::string digest = test::sha256_of_file(rel.path("ruk-linux"));
    std::string upper = digest;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    manifest.replace(manifest.find(digest), digest.size(), upper);
    test::write_file(rel.path("latest.json"), manifest);

    start_server(home);
    const auto servers = home.server_pids();
    ASSERT_EQ(servers.size(), 1u);

    struct Case {
        std::string what;
        bool server;
        std::string told;
    };
    const Case cases[] = {
        {"with a server", true, "the running server said: " + KEEPS},
        {"without one", false, "no server running; the next `ruk` starts the new one"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.server) {
            home.kill_servers();
            ASSERT_TRUE(test::wait_for([&] { return home.server_pids().empty(); }));
            ::unlink(home.socket_path().c_str());
        }
        Installed ruk;
        const std::string old_digest = test::sha256_of_file(ruk.exe);
        auto got = ruk.run(home, {"update"}, {{"RUK_UPDATE_URL", http.url("moved/latest.json")}});
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.out, "downloading " + NEWER + "... ok\n"
                           "installed at " + ruk.exe + " (the previous ruk is kept as " + (ruk.dir / "ruk.old") + ")\n"
                           "  was: " + version_line() + "\n"
                           "  now: " + NEWER + "\n" + c.told + "\n");
        EXPECT_EQ(test::read_file(ruk.exe), published.asset.content);
        EXPECT_EQ(test::sha256_of_file(ruk.dir / "ruk.old"), old_digest);
        struct stat st {};
        ::stat(ruk.exe.c_str(), &st);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
        EXPECT_TRUE(ruk.leftovers().empty());
        EXPECT_EQ(test::run({ruk.exe, "__build"}).out, std::to_string(BUILD_NUMBER + 1) + " 0 0\n");
        if (c.server) { EXPECT_EQ(home.server_pids(), servers) << "the server keeps running"; }
    }
    EXPECT_NE(http.requests().find("/ruk-linux ruk/0.1.4\n"), std::string::npos) << http.requests();
}

TEST(Update, RefusesABadDownloadAndLeavesTheInstallationAlone) {
    RukHome home;
    test::ReleaseDir rel;
    const std::string good = test::reporter_of(BUILD_NUMBER + 1);
    struct Case {
        std::string what;
        std::string content;
        std::optional<uint64_t> size;
        std::optional<std::string> sha256;
        std::string error;
    };
    const Case cases[] = {
        {"one byte short", good.substr(0, good.size() - 1), good.size(), {},
         "ruk-linux is " + std::to_string(good.size() - 1) + " bytes, the manifest says " + std::to_string(good.size())},
        {"wrong digest", good, {}, test::sha256_of_file(RUK_BINARY),
         "ruk-linux doesn't match its SHA-256 in the manifest; not installed"},
        {"prints no build", test::build_reporter(""), {}, {},
         "the downloaded ruk reports build ?, the manifest says " + std::to_string(BUILD_NUMBER + 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::PublishedRelease published;
        published.asset.content = c.content;
        published.size = c.size;
        published.sha256 = c.sha256;
        rel.publish(published);
        Installed ruk;
        auto got = ruk.run(home, {"update"}, {{"RUK_UPDATE_URL", rel.file_url("latest.json")}});
        EXPECT_EQ(got.status, 1);
        EXPECT_EQ(got.out, "downloading " + NEWER + "... ");
        EXPECT_EQ(got.err, "ruk: " + c.error + "\n");
        EXPECT_TRUE(ruk.untouched());
        EXPECT_TRUE(ruk.leftovers().empty());
        EXPECT_FALSE(ruk.has_kept());
    }
}

// Root may write anywhere, so as root the update runs as an unprivileged
// user over a directory that user cannot write; others get a read-only one.
TEST(Update, AnInstallDirectoryThatCannotBeWrittenIsLeftToTheUser) {
    RukHome home;
    test::ReleaseDir rel;
    rel.publish({});
    Installed ruk;
    ::chmod(rel.dir().path().c_str(), 0755);
    ::chmod(ruk.dir.path().c_str(), 0555);
    std::vector<std::string> argv{ruk.exe, "update"};
    if (::geteuid() == 0) argv.insert(argv.begin(), {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"});
    auto env = home.env();
    env.push_back({"RUK_UPDATE_URL", rel.file_url("latest.json")});
    auto got = test::run(argv, env);
    ::chmod(ruk.dir.path().c_str(), 0700);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "downloading " + NEWER + "... ");
    EXPECT_EQ(got.err, "ruk: can't write to " + ruk.dir.path() + "; install the update there yourself\n");
    EXPECT_TRUE(ruk.untouched());
    EXPECT_TRUE(ruk.leftovers().empty());
}

// The server checks at once when it starts: the status bar shows the newer
// release, one notification announces it, and the version report names it.
TEST(UpdateChecks, AServerAnnouncesANewerRelease) {
    RukHome home;
    test::ReleaseDir rel;
    test::HttpServer http(rel.dir().path());
    ASSERT_TRUE(http.started());
    rel.publish({});
    test::TempDir bin;
    const std::string log = bin / "notifications";
    test::write_file(bin / "notify-send", "#!/bin/sh\nprintf '%s|' \"$@\" >> " + log + "\necho >> " + log + "\n");
    ::chmod((bin / "notify-send").c_str(), 0755);
    const test::EnvChanges env{{"RUK_UPDATE_URL", http.url("latest.json")},
                               {"PATH", bin.path() + ":" + sys::env("PATH").value_or("/usr/bin:/bin")},
                               {"DISPLAY", ":99"}};

    test::Terminal term(home, {}, env, 24, 100);
    ASSERT_TRUE(term.started());
    // At the right end: the row's last cell is the notice's closing blank.
    const std::string notice = " ruk 0.1.5 available: run ruk update";
    EXPECT_TRUE(term.wait_for([&] { return term.row(23).ends_with(notice); })) << term.screen();
    EXPECT_EQ(term.row(23).size(), 99u) << term.screen();
    EXPECT_TRUE(test::wait_for([&] { return !test::read_file(log).empty(); }));
    EXPECT_EQ(test::read_file(log), "--app-name=ruk|--|ruk 0.1.5 is available|run `ruk update` to install it|\n");

    auto got = home.ruk({"version"});
    EXPECT_EQ(got.out, "client: " + version_line() + "\nserver: " + version_line() + "\nlatest: " + NEWER +
                           " (run `ruk update`)\n");
    EXPECT_EQ(http.requests(), "/latest.json ruk/0.1.4\n") << "one check, and no download";
}

// A check that fails is a line in the server's log.
TEST(UpdateChecks, AFailedCheckIsLogged) {
    test::ReleaseDir rel;
    test::HttpServer http(rel.dir().path());
    ASSERT_TRUE(http.started());
    RukHome home;
    start_server(home, {{"RUK_UPDATE_URL", http.url("missing.json")}});
    const std::string log = home.runtime_dir() + "/server.log";
    EXPECT_TRUE(test::wait_for([&] { return test::read_file(log).find('\n') != std::string::npos; }));
    EXPECT_EQ(test::read_file(log), "ruk: update check: can't fetch " + http.url("missing.json") +
                                        ": curl: (22) The requested URL returned error: 404\n");
}

}  // namespace
}  // namespace ruk
