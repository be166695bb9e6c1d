// The viewing side of a remote machine, driven through the loop's handlers.
// A fake ssh (named by RUK_SSH) saves its arguments and everything the
// server writes to it, so the tests read the frames another machine would
// get; what that machine says back is handed to the handlers directly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "hosts/hosts_file.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "server/event_loop.h"
#include "server/link.h"
#include "server/registry.h"
#include "server/remote.h"
#include "server/remote_links.h"
#include "server/remote_view.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/view.h"
#include "server_fixture.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace protocol;
using namespace std::chrono_literals;

// The client messages in a byte string, as far as they are whole.
std::vector<ClientMessage> frames_in(const std::string& bytes) {
    std::vector<ClientMessage> out;
    size_t at = 0;
    while (bytes.size() - at >= FRAME_HEAD) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
        const uint32_t length = (uint32_t{p[1]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 8) | p[4];
        if (bytes.size() - at - FRAME_HEAD < length) break;
        auto message = decode_client_message(Frame{p[0], std::vector<uint8_t>(p + FRAME_HEAD, p + FRAME_HEAD + length)});
        if (!message) {
            ADD_FAILURE() << message.error().message;
            break;
        }
        out.push_back(std::move(*message));
        at += FRAME_HEAD + length;
    }
    return out;
}

std::vector<PeerRequest> requests_in(const std::vector<ClientMessage>& messages) {
    std::vector<PeerRequest> out;
    for (const auto& m : messages)
        if (auto* peer = std::get_if<client::Peer>(&m)) out.push_back(peer->request);
    return out;
}

// One end of a command connection that waits for a reply.
struct Requester {
    Fd ours, theirs;
    Requester() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        timeval timeout{.tv_sec = 10, .tv_usec = 0};
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ours = Fd(fds[0]);
        theirs = Fd(fds[1]);
    }
    std::optional<server::Reply> reply() {
        FrameReader reader(theirs.get());
        auto m = read_server_message(reader);
        if (!m || !*m || !std::holds_alternative<server::Reply>(**m)) return std::nullopt;
        return std::get<server::Reply>(**m);
    }
};

class RemoteTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedEnv config{"XDG_CONFIG_HOME", dir / "cfg"};
    test::ScopedEnv ssh{"RUK_SSH", dir / "ssh"};
    Server server;
    EventSender events = std::make_shared<EventChannel>();
    int links = 0;

    RemoteTest() {
        server.instance = "aaaaaaaaaaaaaaaa";
        server.host_name = "laptop";
        server.events = events;
        // A far side that keeps the link open and saves what it is sent.
        fake_ssh("exec cat > \"$DIR/input\"");
    }
    ~RemoteTest() override {
        server.machines.clear();
        server.windows.clear();
        events->close();
    }

    void fake_ssh(const std::string& body) {
        test::write_file(dir / "ssh", "#!/bin/sh\nDIR='" + dir.path() + "'\nprintf '%s\\n' \"$@\" > \"$DIR/args\"\n" +
                                          body + "\n");
        ::chmod((dir / "ssh").c_str(), 0755);
    }
    std::vector<PeerRequest> sent_requests() { return requests_in(frames_in(test::read_file(dir / "input"))); }
    bool sent(size_t count) {
        return test::wait_for([&] { return sent_requests().size() >= count; }, 10s);
    }

    Machine& machine(MachineId id) { return *find_machine(server, id); }
    void from_machine(MachineId id, ServerMessage message) {
        (void)handle_event(server, event::RemoteMessage{machine(id).link_id, id, std::move(message)});
    }
    void welcome(MachineId id, uint32_t version = PROTOCOL_VERSION, std::string instance = "bbbbbbbbbbbbbbbb") {
        from_machine(id, server::Peer{peer_event::Welcome{.version = version,
                                                          .instance = std::move(instance),
                                                          .features = {"new-agent", "move-window"},
                                                          .build = 9,
                                                          .release = "0.1.4"}});
    }
    void windows(MachineId id, std::vector<WindowInfo> list) {
        from_machine(id, server::Peer{peer_event::Windows{std::move(list)}});
    }
    void link_closed(MachineId id) { (void)handle_event(server, event::RemoteClosed{machine(id).link_id, id}); }
    // Handles events as the loop would until the condition holds.
    bool run_until(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            if (auto e = events->recv_until(std::chrono::steady_clock::now() + 20ms))
                (void)handle_event(server, std::move(*e));
        }
        return true;
    }
};

WindowInfo agent_window(uint32_t id, uint32_t index, std::string state, std::optional<std::string> name = std::nullopt) {
    return {.id = id,
            .index = index,
            .name = std::move(name),
            .process = "claude",
            .agent = AgentInfo{.kind = "claude", .state = std::move(state), .location = std::nullopt, .queued = 0,
                               .overdue = false}};
}

NewAgent pi_agent(std::vector<std::string> args = {}) { return {"pi", std::move(args), std::nullopt, std::nullopt}; }

WindowInfo shell_window(uint32_t id, uint32_t index) {
    return {.id = id, .index = index, .name = std::nullopt, .process = "bash", .agent = std::nullopt};
}

TEST_F(RemoteTest, SshGetsExactlyItsArgumentsAndOnlyAHello) {
    {
        test::ScopedEnv unset("RUK_SSH", std::nullopt);
        EXPECT_EQ(ssh_program(), "ssh");
    }
    EXPECT_EQ(ssh_program(), dir / "ssh");
    const MachineId id = add_machine(server, "me@box", "/opt/ruk dev/ruk --quiet");
    EXPECT_EQ(machine(id).status, "connecting…");
    ASSERT_TRUE(sent(1));
    EXPECT_EQ(test::read_file(dir / "args"),
              "-T\n-o\nBatchMode=yes\n-o\nServerAliveInterval=15\n-o\nServerAliveCountMax=3\n--\nme@box\n"
              "/opt/ruk dev/ruk --quiet bridge\n");
    EXPECT_EQ(sent_requests(), (std::vector<PeerRequest>{peer_request::Hello{2}}));
    // Nothing else goes out before the welcome, not even what the user asks for.
    EXPECT_FALSE(request_new_window(server, id));
    EXPECT_EQ(machine(id).colour, 75);
    EXPECT_EQ(machine(add_machine(server, "other", "ruk")).colour, 176);
}

TEST_F(RemoteTest, AProgramThatCannotRunIsRetriedWithBackOff) {
    test::ScopedEnv missing("RUK_SSH", dir / "no-such-ssh");
    const MachineId id = add_machine(server, "box", "ruk");
    EXPECT_EQ(machine(id).status, "can't run " + dir / "no-such-ssh" + ": No such file or directory");
    std::vector<uint64_t> waits;
    for (int attempt = 0; attempt < 8; ++attempt) {
        waits.push_back(machine(id).next_retry - server.tick);
        const uint64_t due = machine(id).next_retry;
        server.tick = due - 1;
        reconnect_machines(server);
        EXPECT_EQ(machine(id).next_retry, due) << "not before its time";
        server.tick = due;
        reconnect_machines(server);
    }
    // In ticks of half a second: 1, 2, 4, 8, 16, 32 seconds, then once a minute.
    EXPECT_EQ(waits, (std::vector<uint64_t>{2, 4, 8, 16, 32, 64, 120, 120}));
    EXPECT_FALSE(machine(id).link);
}

TEST_F(RemoteTest, TheReasonShownForALostLink) {
    const MachineId id = add_machine(server, "box", "ruk");
    link_closed(id);
    EXPECT_EQ(machine(id).status, "no answer from ruk on box; is `ruk` installed there?");
    EXPECT_FALSE(machine(id).link);

    server.tick = machine(id).next_retry;
    reconnect_machines(server);
    ASSERT_TRUE(machine(id).link);
    welcome(id);
    EXPECT_TRUE(machine(id).connected);
    EXPECT_EQ(machine(id).status, std::nullopt);
    EXPECT_EQ(machine(id).release, "0.1.4");
    const uint64_t stale = machine(id).link_id;
    link_closed(id);
    EXPECT_EQ(machine(id).status, "connection closed");
    EXPECT_EQ(machine(id).next_retry, server.tick + 2) << "a welcome resets the back-off";

    server.tick = machine(id).next_retry;
    reconnect_machines(server);
    welcome(id);
    (void)handle_event(server, event::RemoteClosed{stale, id});
    EXPECT_TRUE(machine(id).connected) << "the end of an older link changes nothing";
    from_machine(id, server::Detach{"server killed\x1b[2J"});
    link_closed(id);
    EXPECT_EQ(machine(id).status, "server killed?[2J");

    // A reason given by the handler beats the far side's own.
    server.tick = machine(id).next_retry;
    reconnect_machines(server);
    from_machine(id, server::Detach{"exited"});
    welcome(id, 3);
    EXPECT_EQ(machine(id).status,
              "ruk there speaks protocol 3, this ruk speaks 2; install the same version on both");
    EXPECT_FALSE(machine(id).link);
    EXPECT_NE(machine(id).next_retry, RETRY_NEVER);
}

TEST_F(RemoteTest, SshsLastErrorLineIsTheReason) {
    fake_ssh("echo 'debug1: trying' >&2; printf '  ssh: Could not resolve hostname nowhere: Name or service not known \\r\\n\\n' >&2; exit 255");
    const MachineId id = add_machine(server, "nowhere", "ruk");
    ASSERT_TRUE(run_until([&] { return !machine(id).link; }));
    EXPECT_EQ(machine(id).status, "ssh: Could not resolve hostname nowhere: Name or service not known");
}

TEST_F(RemoteTest, ReachingThisVeryServerParksTheMachine) {
    const MachineId id = add_machine(server, "localhost", "ruk");
    welcome(id, PROTOCOL_VERSION, server.instance);
    EXPECT_EQ(machine(id).status, "this is the machine ruk is running on");
    EXPECT_FALSE(machine(id).connected);
    server.tick = 1000000;
    reconnect_machines(server);
    EXPECT_FALSE(machine(id).link) << "never tried again";
}

TEST_F(RemoteTest, MergingAListKeepsDoneMarksAndCleansTexts) {
    test::add_window(server, 0);
    switch_view(server, 0, 0);
    const MachineId id = add_machine(server, "box", "ruk");
    welcome(id);
    WindowInfo odd = shell_window(2, 1);
    odd.name = "a b";
    odd.process = "vim\x1b[2J";
    WindowInfo branch = agent_window(3, 3, "working");
    branch.agent->location = Location{"/src/x", "fix\x1b]0;pwned\x07"};
    windows(id, {agent_window(1, 5, "working"), odd, branch});

    const Machine& m = machine(id);
    ASSERT_EQ(m.windows.size(), 3u);
    EXPECT_EQ((std::vector<uint32_t>{m.windows[0].id, m.windows[1].id, m.windows[2].id}),
              (std::vector<uint32_t>{2, 3, 1}))
        << "kept in number order";
    EXPECT_EQ(m.windows[0].name, std::nullopt) << "a name no window could have";
    EXPECT_EQ(m.windows[0].process, "vim?[2J");
    EXPECT_EQ(m.windows[1].agent->location->branch, "fix?]0;pwned?");

    // Window 3 is viewed when both agents finish: only window 1 is marked.
    switch_view(server, id, 3);
    windows(id, {agent_window(1, 5, "idle"), shell_window(2, 1), agent_window(3, 3, "idle")});
    EXPECT_EQ(m.done, (std::set<WindowId>{1}));
    switch_view(server, 0, 0);
    windows(id, {agent_window(1, 5, "idle"), shell_window(2, 1), agent_window(3, 3, "idle")});
    EXPECT_EQ(m.done, (std::set<WindowId>{1})) << "the mark stays while it stays idle";
    windows(id, {agent_window(1, 5, "needs_input"), shell_window(2, 1), agent_window(3, 3, "idle")});
    EXPECT_TRUE(m.done.empty());
    windows(id, {agent_window(1, 5, "working"), shell_window(2, 1), agent_window(3, 3, "idle")});
    windows(id, {agent_window(1, 5, "idle"), shell_window(2, 1), agent_window(3, 3, "idle")});
    EXPECT_EQ(m.done, (std::set<WindowId>{1}));
    switch_view(server, id, 1);
    EXPECT_TRUE(m.done.empty()) << "viewing it clears the mark";

    // The viewed window leaves: the view goes to the machine's first window,
    // then, with none left there, to the first local one.
    windows(id, {shell_window(2, 1), agent_window(3, 3, "idle")});
    EXPECT_EQ(server.view, (View{id, 2}));
    windows(id, {});
    EXPECT_EQ(server.view, (View{0, 0}));
}

TEST_F(RemoteTest, WaitingRequestsGetOneAnswerEach) {
    const MachineId id = add_machine(server, "me@box", "ruk");
    Requester early;
    request_remote_agent(server, id, pi_agent(), 20, 60, std::move(early.ours));
    EXPECT_EQ(early.reply(), (server::Reply{false, "me@box is not connected"})) << "not welcomed yet";

    welcome(id);
    Requester started, slow, lost;
    request_remote_agent(server, id, pi_agent({"-c"}), 20, 60, std::move(started.ours));
    ASSERT_TRUE(sent(2));
    const auto asked = sent_requests().back();
    EXPECT_EQ(asked, (PeerRequest{peer_request::NewWindow{.near = std::nullopt,
                                                          .rows = 20,
                                                          .cols = 60,
                                                          .agent = pi_agent({"-c"}),
                                                          .request = 1}}));
    from_machine(id, server::Peer{peer_event::Created{.window = 7, .request = 1, .name = "proj-pi"}});
    EXPECT_EQ(started.reply(), (server::Reply{true, "started proj-pi on box"}));

    request_remote_agent(server, id, pi_agent(), 20, 60, std::move(slow.ours));
    server.tick += REMOTE_REQUEST_TICKS - 1;
    expire_remote_requests(server);
    EXPECT_EQ(server.pending_remote_requests.size(), 1u);
    ++server.tick;
    expire_remote_requests(server);
    EXPECT_EQ(slow.reply(), (server::Reply{false, "me@box: no answer; is it busy?"}));
    // Its late answer goes nowhere.
    from_machine(id, server::Peer{peer_event::Error{.message = "too late", .request = 2}});
    EXPECT_TRUE(server.pending_remote_requests.empty());

    request_remote_agent(server, id, pi_agent(), 20, 60, std::move(lost.ours));
    from_machine(id, server::Detach{"server killed"});
    link_closed(id);
    EXPECT_EQ(lost.reply(), (server::Reply{false, "me@box: server killed"}));

    server.tick = machine(id).next_retry;
    reconnect_machines(server);
    welcome(id);
    Requester refused, dropped;
    request_remote_agent(server, id, pi_agent(), 20, 60, std::move(refused.ours));
    from_machine(id, server::Peer{peer_event::Error{.message = "name 'x' is already taken", .request = 4}});
    EXPECT_EQ(refused.reply(), (server::Reply{false, "name 'x' is already taken"}));
    request_remote_agent(server, id, pi_agent(), 20, 60, std::move(dropped.ours));
    ASSERT_TRUE(disconnect_machine(server, "me@box"));
    EXPECT_EQ(dropped.reply(), (server::Reply{false, "me@box: disconnected"}));
}

TEST_F(RemoteTest, ErrorsAndNewWindowsWithoutARequest) {
    test::add_window(server, 0);
    switch_view(server, 0, 0);
    const MachineId id = add_machine(server, "box", "ruk");
    welcome(id);
    windows(id, {shell_window(4, 0)});
    switch_view(server, id, 4);
    ASSERT_TRUE(request_new_window(server, id));
    ASSERT_TRUE(sent(2));
    EXPECT_EQ(sent_requests().back(), (PeerRequest{peer_request::NewWindow{
                                          .near = 4, .rows = 23, .cols = 55, .agent = std::nullopt, .request = std::nullopt}}));
    windows(id, {shell_window(4, 0), shell_window(5, 1)});
    from_machine(id, server::Peer{peer_event::Created{.window = 5, .request = std::nullopt, .name = std::nullopt}});
    EXPECT_EQ(server.view, (View{id, 5})) << "the window asked for becomes the view";
    // A window someone else made over there does not.
    windows(id, {shell_window(4, 0), shell_window(5, 1), shell_window(6, 2)});
    from_machine(id, server::Peer{peer_event::Created{.window = 6, .request = std::nullopt, .name = std::nullopt}});
    EXPECT_EQ(server.view, (View{id, 5}));

    from_machine(id, server::Peer{peer_event::Error{.message = "window is gone\x1b[H", .request = std::nullopt}});
    ASSERT_TRUE(server.status_message);
    EXPECT_EQ(server.status_message->text, "box: window is gone?[H");
}

TEST_F(RemoteTest, ConnectAndDisconnectKeepTheHostsFile) {
    EXPECT_EQ(connect_machine(server, "-oProxyCommand=x", "ruk").error().message,
              "'-oProxyCommand=x' is not a valid ssh destination");
    auto connected = connect_machine(server, "me@box", "ruk");
    ASSERT_TRUE(connected) << connected.error().message;
    EXPECT_EQ(*connected, "connecting to me@box; it will reconnect automatically (saved in " + hosts_path() + ")");
    ASSERT_TRUE(connect_machine(server, "build", "~/bin/ruk"));
    EXPECT_EQ(test::read_file(hosts_path()), "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\nme@box\nbuild ~/bin/ruk\n");
    EXPECT_EQ(connect_machine(server, "me@box", "ruk").error().message, "already connected to me@box (see: ruk hosts)");

    const MachineId box = server.machines[0].id;
    welcome(box);
    windows(box, {shell_window(1, 0)});
    switch_view(server, box, 1);
    EXPECT_EQ(disconnect_machine(server, "box").error().message, "not connected to box");
    EXPECT_EQ(*disconnect_machine(server, "me@box"), "disconnected from me@box");
    EXPECT_EQ(server.view, std::nullopt) << "no local window to go back to";
    EXPECT_EQ(test::read_file(hosts_path()), "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\nbuild ~/bin/ruk\n");

    // Two lines naming one host make two machines.
    Server fresh;
    fresh.events = events;
    test::write_file(hosts_path(), "build\n  # a note\nbuild\n");
    connect_saved_hosts(fresh);
    ASSERT_EQ(fresh.machines.size(), 2u);
    EXPECT_EQ(fresh.machines[1].id, 2u);
    EXPECT_EQ(connect_machine(fresh, "build", "ruk").error().message, "already connected to build (see: ruk hosts)");
}

TEST_F(RemoteTest, TheViewedWindowsCopyFollowsTheViewAndThePane) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd far(fds[1]);
    server.client.emplace();
    server.client->queue = std::make_unique<OutboundQueue>(Fd(fds[0]));
    server.size = {24, 80};
    test::add_window(server, 0);
    const MachineId id = add_machine(server, "box", "ruk");
    welcome(id);
    windows(id, {shell_window(4, 0), shell_window(5, 1)});
    switch_view(server, id, 4);

    update_remote_views(server);
    update_remote_views(server);
    ASSERT_TRUE(sent(2));
    EXPECT_EQ(sent_requests().back(), (PeerRequest{peer_request::View{.window = 4, .rows = 23, .cols = 55}}));
    ASSERT_TRUE(machine(id).screen);
    EXPECT_EQ(remote_view_screen(server), &machine(id).screen->screen);

    // Output before the first full screen, or of another window, is dropped.
    from_machine(id, server::PeerOutput{4, std::nullopt, {'l', 'o', 's', 't'}});
    from_machine(id, server::PeerOutput{5, server::Size{3, 4}, {'x'}});
    EXPECT_FALSE(machine(id).screen->ready);
    from_machine(id, server::PeerOutput{4, server::Size{10, 30}, {'h', 'i'}});
    from_machine(id, server::PeerOutput{4, std::nullopt, {'!'}});
    const Screen* copy = remote_view_screen(server);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->rows(), 10);
    EXPECT_EQ(copy->visible_rows_text().at(0), "hi!");

    server.size = {30, 100};
    update_remote_views(server);
    switch_view(server, 0, 0);
    update_remote_views(server);
    ASSERT_TRUE(sent(4));
    const auto asked = sent_requests();
    EXPECT_EQ(asked[2], (PeerRequest{peer_request::View{.window = 4, .rows = 29, .cols = 75}}));
    EXPECT_EQ(asked[3], (PeerRequest{peer_request::View{.window = std::nullopt, .rows = 29, .cols = 75}}));
    EXPECT_FALSE(machine(id).screen);
    EXPECT_EQ(asked.size(), 4u);
}

}  // namespace
}  // namespace ruk
