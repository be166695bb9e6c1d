// The serving side of the peer protocol, driven through the loop's handlers:
// each peer's frames are read back from the other end of its socket, so the
// tests see exactly what another server would receive.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "protocol/frame.h"
#include "protocol/messages.h"
#include "server/event_loop.h"
#include "server/handlers.h"
#include "server/peers.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/window.h"
#include "server_fixture.h"
#include "test_support.h"
#include "texts.h"

namespace ruk {
namespace {

using namespace protocol;
using namespace std::chrono_literals;

// The far end of one connection, read as another server reads it.
struct FarEnd {
    Fd socket;
    std::unique_ptr<FrameReader> reader;

    // The next frame; nothing at the end of the stream or after 10 s.
    std::optional<ServerMessage> next() {
        auto message = read_server_message(*reader);
        if (!message || !*message) return std::nullopt;
        return std::move(**message);
    }
};

class PeersTest : public ::testing::Test {
protected:
    Server server;
    EventSender events = std::make_shared<EventChannel>();

    PeersTest() {
        server.instance = "00112233445566aa";
        server.events = events;
    }
    ~PeersTest() override {
        server.windows.clear();
        events->close();
    }

    // A connection that says hello with `version`; the far end reads what the server sends.
    FarEnd hello(ConnId conn, uint32_t version = PROTOCOL_VERSION) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        timeval timeout{.tv_sec = 10, .tv_usec = 0};
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        FarEnd far{Fd(fds[1]), nullptr};
        far.reader = std::make_unique<FrameReader>(far.socket.get());
        (void)handle_event(server, event::PeerHello{conn, Fd(fds[0]), version});
        return far;
    }
    void request(ConnId conn, PeerRequest r) { (void)handle_event(server, event::PeerRequestEvent{conn, std::move(r)}); }

    // Everything a peer was sent until now: a marker is queued behind it and
    // read back, so nothing later can be missed and nothing is waited for.
    std::vector<ServerMessage> sent(ConnId conn, FarEnd& far) {
        for (auto& peer : server.peers)
            if (peer.conn == conn) peer.queue->send(encode_server_message(server::Reply{true, "marker"}));
        std::vector<ServerMessage> out;
        while (auto m = far.next()) {
            if (*m == ServerMessage{server::Reply{true, "marker"}}) return out;
            out.push_back(std::move(*m));
        }
        ADD_FAILURE() << "the marker never came";
        return out;
    }
};

template <class T>
std::vector<T> only(const std::vector<ServerMessage>& messages) {
    std::vector<T> out;
    for (const auto& m : messages)
        if (auto* x = std::get_if<T>(&m)) out.push_back(*x);
    return out;
}

std::vector<PeerEvent> peer_events(const std::vector<ServerMessage>& messages) {
    std::vector<PeerEvent> out;
    for (const auto& p : only<server::Peer>(messages)) out.push_back(p.event);
    return out;
}

TEST_F(PeersTest, HelloIsWelcomedAndAPeerOfOurVersionGetsTheList) {
    test::add_window(server, 0, "build");
    FarEnd far = hello(1);
    const auto got = peer_events(sent(1, far));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (PeerEvent{peer_event::Welcome{.version = 2,
                                                      .instance = "00112233445566aa",
                                                      .features = {"new-agent", "move-window"},
                                                      .build = BUILD_NUMBER,
                                                      .release = "0.1.4"}}));
    const auto* list = std::get_if<peer_event::Windows>(&got[1]);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->windows.size(), 1u);
    EXPECT_EQ(list->windows[0].name, "build");

    // Another version is told ours, then let go; it never becomes a peer.
    FarEnd old = hello(2, 1);
    auto first = old.next();
    ASSERT_TRUE(first);
    ASSERT_TRUE(std::holds_alternative<server::Peer>(*first));
    EXPECT_TRUE(std::holds_alternative<peer_event::Welcome>(std::get<server::Peer>(*first).event));
    EXPECT_FALSE(old.next()) << "the connection ends after the welcome";
    EXPECT_EQ(server.peers.size(), 1u);
    // Its requests change nothing.
    request(2, peer_request::Rename{.window = 0, .name = "taken"});
    EXPECT_EQ(find_window(server, 0)->name, "build");
}

TEST_F(PeersTest, TheListGoesOnlyToPeersWhoseCopyIsOld) {
    Window& w = test::add_window(server, 0, "api");
    FarEnd a = hello(1);
    (void)sent(1, a);
    publish_windows(server);
    publish_windows(server);
    EXPECT_TRUE(sent(1, a).empty()) << "an unchanged list is not sent again";

    FarEnd b = hello(2);
    EXPECT_EQ(only<server::Peer>(sent(2, b)).size(), 2u) << "welcome and list for the newcomer";
    EXPECT_TRUE(sent(1, a).empty()) << "the newcomer's arrival does not resend to the others";

    // An agent in a directory whose name is not valid text does not hold
    // the list back.
    w.agent.emplace();
    w.agent->location = Location{"/src/caf\xe9", std::nullopt};
    w.name = "web";
    publish_windows(server);
    for (auto [conn, far] : {std::pair{ConnId{1}, &a}, std::pair{ConnId{2}, &b}}) {
        const auto got = peer_events(sent(conn, *far));
        ASSERT_EQ(got.size(), 1u);
        const auto& sent_window = std::get<peer_event::Windows>(got[0]).windows.at(0);
        EXPECT_EQ(sent_window.name, "web");
        ASSERT_TRUE(sent_window.agent && sent_window.agent->location);
        EXPECT_EQ(sent_window.agent->location->root, "/src/caf\uFFFD");
    }
}

TEST_F(PeersTest, WhatAWindowTellsPeers) {
    Window& agent = test::add_window(server, 4, "proj-pi");
    agent.agent.emplace();
    agent.agent->runtime = Runtime::Other;
    agent.agent->state = AgentState::NeedsInput;
    agent.agent->location = Location{.root = "/src/proj", .branch = "main"};
    const auto now = std::chrono::steady_clock::now();
    agent.queue.push_back({.text = "a", .sender = std::nullopt, .queued_at = now - 121s});
    agent.queue.push_back({.text = "b", .sender = std::nullopt, .queued_at = now});
    Window& fresh = test::add_window(server, 5);
    fresh.agent.emplace();
    fresh.agent->runtime = Runtime::Codex;
    fresh.agent->state = AgentState::Working;
    fresh.queue.push_back({.text = "c", .sender = std::nullopt, .queued_at = now - 100s});

    EXPECT_EQ(window_info(agent), (WindowInfo{.id = agent.id,
                                              .index = 4,
                                              .name = "proj-pi",
                                              .process = "?",
                                              .agent = AgentInfo{.kind = "other",
                                                                 .state = "needs_input",
                                                                 .location = Location{"/src/proj", "main"},
                                                                 .queued = 2,
                                                                 .overdue = true}}));
    const WindowInfo info = window_info(fresh);
    ASSERT_TRUE(info.agent);
    EXPECT_EQ(info.name, std::nullopt);
    EXPECT_EQ(info.agent->kind, "codex");
    EXPECT_EQ(info.agent->state, "working");
    EXPECT_EQ(info.agent->location, std::nullopt);
    EXPECT_EQ(info.agent->queued, 1u);
    EXPECT_FALSE(info.agent->overdue) << "a message younger than 120 seconds";
}

TEST_F(PeersTest, AWindowTakesTheSizeOfWhoeverActedLast) {
    Window& w = test::add_window(server, 0);
    w.screen.feed("hello");
    FarEnd a = hello(1), b = hello(2);
    (void)sent(1, a);
    (void)sent(2, b);

    auto full_screens = [&](ConnId conn, FarEnd& far) {
        std::vector<server::Size> sizes;
        for (const auto& out : only<server::PeerOutput>(sent(conn, far))) {
            EXPECT_EQ(out.window, w.id);
            if (out.size) sizes.push_back(*out.size);
        }
        return sizes;
    };

    request(1, peer_request::View{.window = w.id, .rows = 20, .cols = 60});
    EXPECT_EQ(full_screens(1, a), (std::vector<server::Size>{{20, 60}}));
    EXPECT_EQ(w.screen.rows(), 20);
    request(2, peer_request::View{.window = w.id, .rows = 30, .cols = 90});
    EXPECT_EQ(full_screens(1, a), (std::vector<server::Size>{{30, 90}})) << "the other viewer is redrawn";
    EXPECT_EQ(full_screens(2, b), (std::vector<server::Size>{{30, 90}}));

    // A key from the first viewer takes the window back to its size.
    (void)handle_event(server, event::PeerInput{1, w.id, {'x'}});
    EXPECT_EQ(w.screen.cols(), 60);
    EXPECT_EQ(full_screens(1, a), (std::vector<server::Size>{{20, 60}}));
    EXPECT_EQ(full_screens(2, b), (std::vector<server::Size>{{20, 60}}));
    // Same size again: only the asker is redrawn.
    request(1, peer_request::View{.window = w.id, .rows = 20, .cols = 60});
    EXPECT_EQ(full_screens(1, a).size(), 1u);
    EXPECT_TRUE(full_screens(2, b).empty());

    // Output goes to viewers only, without a size.
    request(2, peer_request::View{.window = std::nullopt, .rows = 30, .cols = 90});
    (void)sent(2, b);
    (void)handle_event(server, event::WindowOutput{w.id, {'o', 'k'}});
    const auto streamed = only<server::PeerOutput>(sent(1, a));
    ASSERT_EQ(streamed.size(), 1u);
    EXPECT_EQ(streamed[0], (server::PeerOutput{w.id, std::nullopt, {'o', 'k'}}));
    EXPECT_TRUE(sent(2, b).empty()) << "a peer that views nothing gets no output";

    // A window that does not exist: nothing is viewed, nothing is answered,
    // but the size is kept for the next key.
    request(1, peer_request::View{.window = 77, .rows = 10, .cols = 10});
    EXPECT_TRUE(sent(1, a).empty());
    EXPECT_EQ(server.peers[0].viewed, std::nullopt);
    EXPECT_EQ(server.peers[0].rows, 10);
}

TEST_F(PeersTest, RenameAndMoveAnswerOnlyFailures) {
    Window& agent = test::add_window(server, 0, "mine");
    agent.agent.emplace();
    agent.agent->runtime = Runtime::Claude;
    Window& shell = test::add_window(server, 1);
    FarEnd a = hello(1);
    (void)sent(1, a);

    request(1, peer_request::Rename{.window = agent.id, .name = std::nullopt});
    EXPECT_EQ(agent.name, "claude") << "no name gives the agent its default name";
    auto got = peer_events(sent(1, a));
    ASSERT_EQ(got.size(), 1u) << "success is not answered; the list shows it";
    EXPECT_EQ(std::get<peer_event::Windows>(got[0]).windows.at(0).name, "claude");

    request(1, peer_request::Rename{.window = shell.id, .name = "a b"});
    request(1, peer_request::MoveWindow{.window = shell.id, .index = 0});
    request(1, peer_request::MoveWindow{.window = 99, .index = 3});
    got = peer_events(sent(1, a));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], (PeerEvent{peer_event::Error{"name may not contain ' ' (use letters, digits, - _ .)", std::nullopt}}));
    EXPECT_EQ(std::get<peer_event::Windows>(got[1]).windows.at(0).id, shell.id) << "the move swapped the numbers";
    EXPECT_EQ(got[2], (PeerEvent{peer_event::Error{"window is gone", std::nullopt}}));
}

TEST_F(PeersTest, NewWindowsAnswerWithTheRequestId) {
    test::TempDir dir;
    server.socket_path = dir / "default.sock";
    FarEnd a = hello(1);
    (void)sent(1, a);

    server.shell = "/nonexistent/shell";
    request(1, peer_request::NewWindow{.near = std::nullopt, .rows = 10, .cols = 40, .agent = std::nullopt, .request = 5});
    request(1, peer_request::NewWindow{
                   .near = std::nullopt, .rows = 10, .cols = 40, .agent = NewAgent{"gpt", {}, std::nullopt, std::nullopt}, .request = 6});
    auto got = peer_events(sent(1, a));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (PeerEvent{peer_event::Error{"could not start a shell", 5}}));
    EXPECT_EQ(got[1], (PeerEvent{peer_event::Error{
                          "unknown runtime 'gpt' (use one of: claude, codex, opencode, pi, grok)", 6}}));

    server.shell = "/bin/sh";
    request(1, peer_request::NewWindow{.near = 42, .rows = 10, .cols = 40, .agent = std::nullopt, .request = std::nullopt});
    ASSERT_EQ(server.windows.size(), 1u);
    const WindowId id = server.windows[0]->id;
    EXPECT_EQ(server.windows[0]->screen.rows(), 10);
    got = peer_events(sent(1, a));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<peer_event::Windows>(got[0])) << "the list comes before the answer";
    EXPECT_EQ(got[1], (PeerEvent{peer_event::Created{.window = id, .request = std::nullopt, .name = std::nullopt}}));
}

TEST_F(PeersTest, DeadAndDepartedPeersAreForgotten) {
    test::add_window(server, 0);  // something to show, so the server carries on
    FarEnd a = hello(1), b = hello(2);
    (void)handle_event(server, event::Disconnected{1});
    ASSERT_EQ(server.peers.size(), 1u);
    // A peer whose queue passed its cap is shut down after the batch.
    server.peers[0].queue->send(std::vector<uint8_t>(OUTBOUND_CAP + 1));
    after_batch(server);
    EXPECT_TRUE(server.peers.empty());
}

}  // namespace
}  // namespace ruk
