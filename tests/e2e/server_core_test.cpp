// The server seen through its socket, as the attach client sees it: the
// first attach makes window 0 at the pane size, input reaches the shell,
// and the last shell's exit stops the server with "exited".
#include <gtest/gtest.h>

#include <thread>

#include "protocol/messages.h"
#include "server/lifecycle.h"
#include "sys/sys.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using namespace protocol;

class ServerCoreTest : public ::testing::Test {
protected:
    test::RukHome home;
    test::ScopedEnv xdg_runtime{"XDG_RUNTIME_DIR", home.xdg_runtime()};
    test::ScopedEnv xdg_config{"XDG_CONFIG_HOME", home.xdg_config()};
    test::ScopedEnv ruk{"RUK", std::nullopt};
    test::ScopedEnv shell{"SHELL", "/bin/sh"};

    Fd attach(uint16_t rows, uint16_t cols) {
        auto conn = connect_or_start(RUK_BINARY);
        EXPECT_TRUE(conn) << conn.error().message;
        if (!conn) return {};
        EXPECT_TRUE(write_client_message(conn->get(), client::Attach{rows, cols}));
        return std::move(*conn);
    }
    static void type(int fd, std::string_view text) {
        ASSERT_TRUE(write_client_message(fd, client::Input{Bytes(text.begin(), text.end())}));
    }
    std::string file(const std::string& name) { return home.dir() / name; }
};

TEST_F(ServerCoreTest, FirstAttachMakesWindowZeroAtThePaneSize) {
    struct Case {
        uint16_t rows, cols;
        std::string want;
    };
    // 25 columns go to the sidebar from 64 columns up; one row to the status bar.
    const Case cases[] = {{24, 80, "23 55\n0\n"}, {24, 63, "23 63\n0\n"}, {24, 64, "23 39\n0\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cols);
        Fd conn = attach(c.rows, c.cols);
        const auto out = file("size-" + std::to_string(c.cols));
        type(conn.get(), "stty size > " + out + ".tmp; echo $RUK_WINDOW >> " + out + ".tmp; mv " + out + ".tmp " + out + "\r");
        ASSERT_TRUE(test::wait_for([&] { return !test::read_file(out).empty(); }));
        EXPECT_EQ(test::read_file(out), c.want);
        home.kill_servers();
    }
}

TEST_F(ServerCoreTest, ExitingTheOnlyShellStopsTheServerWithExited) {
    Fd conn = attach(24, 80);
    type(conn.get(), "exit\r");
    FrameReader reader(conn.get());
    std::optional<std::string> detach;
    bool focus_off_first = false;
    while (true) {
        auto message = read_server_message(reader);
        ASSERT_TRUE(message) << message.error().message;
        if (!*message) break;
        if (auto* output = std::get_if<server::Output>(&**message))
            focus_off_first = std::string(output->bytes.begin(), output->bytes.end()) == "\x1b[?1004l";
        if (auto* d = std::get_if<server::Detach>(&**message)) detach = d->reason;
    }
    EXPECT_EQ(detach, "exited");
    EXPECT_TRUE(focus_off_first) << "focus reports are turned off right before the Detach";
    EXPECT_TRUE(test::wait_for([&] { return home.server_pids().empty(); }));
}

}  // namespace
}  // namespace ruk
