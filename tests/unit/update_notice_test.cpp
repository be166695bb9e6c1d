// What the server makes of its release checks: a log line for a failure, the
// newer release remembered for the status bar and the version command, and
// one desktop notification per build.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "protocol/messages.h"
#include "server/commands.h"
#include "server/handlers.h"
#include "server/server.h"
#include "server/update_checks.h"
#include "test_support.h"
#include "texts.h"
#include "ui/status_bar.h"

namespace ruk {
namespace {

event::UpdateChecked found(std::string version, uint64_t build) {
    Manifest manifest{std::move(version), build, "abc1234", {}};
    return update_checked_event(manifest);
}

TEST(UpdateNotice, OneNotificationPerBuildAndTheNoticeFollowsTheLatestCheck) {
    test::TempDir config;
    test::ScopedEnv xdg{"XDG_CONFIG_HOME", config.path()};
    Server server;
    server.notifier = {NotifierKind::Terminal, ""};
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd theirs(pair[1]);
    server.client.emplace();
    server.client->queue = std::make_unique<protocol::OutboundQueue>(Fd(pair[0]));
    auto version_reply = [&] { return run_command(server, {"version"}, std::nullopt).text; };

    ::testing::internal::CaptureStderr();
    on_event(server, update_checked_event(fail("can't fetch x: curl failed")));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ruk: update check: can't fetch x: curl failed\n");
    EXPECT_FALSE(server.available_release);

    on_event(server, found("0.1.5", BUILD_NUMBER + 1));
    EXPECT_EQ(server.available_release, "0.1.5");
    EXPECT_EQ(version_reply(), version_line() + "\nlatest: " +
                                   release_line({"0.1.5", BUILD_NUMBER + 1, "abc1234", {}}) + " (run `ruk update`)");
    EXPECT_NE(build_status_bar(server).line.find(" ruk 0.1.5 available: run ruk update "), std::string::npos);

    on_event(server, found("0.1.5", BUILD_NUMBER + 1));  // the same build: no second notification
    on_event(server, found("0.1.4", BUILD_NUMBER));       // not newer: the notice goes
    EXPECT_FALSE(server.available_release);
    EXPECT_EQ(version_reply(), version_line());
    EXPECT_EQ(build_status_bar(server).line.find("available"), std::string::npos);
    on_event(server, found("0.1.5", BUILD_NUMBER + 1));  // back, but already announced
    EXPECT_EQ(server.available_release, "0.1.5");

    // Notifications off: the notice still shows, the announcement is spent.
    ASSERT_TRUE(set_notifications_enabled(false));
    on_event(server, found("0.1.6", BUILD_NUMBER + 2));
    EXPECT_EQ(server.available_release, "0.1.6");
    ASSERT_TRUE(set_notifications_enabled(true));
    on_event(server, found("0.1.6", BUILD_NUMBER + 2));
    on_event(server, found("0.1.7\x1b]0;x\x07", BUILD_NUMBER + 3));
    EXPECT_EQ(server.available_release, "0.1.7?]0;x?");
    send_notification(server, "end", "");

    protocol::FrameReader reader(theirs.get());
    std::string shown;
    while (shown.find("end;ruk") == std::string::npos) {
        auto message = protocol::read_server_message(reader);
        ASSERT_TRUE(message && *message);
        if (const auto* output = std::get_if<protocol::server::Output>(&**message))
            shown.append(output->bytes.begin(), output->bytes.end());
    }
    EXPECT_EQ(shown,
              "\x1b]777;notify;ruk 0.1.5 is available;run `ruk update` to install it\x1b\\"
              "\x1b]777;notify;ruk 0.1.7?]0 x? is available;run `ruk update` to install it\x1b\\"
              "\x1b]777;notify;end;ruk\x1b\\");
}

}  // namespace
}  // namespace ruk
