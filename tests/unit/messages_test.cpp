// Messages to agents: what a message becomes, its framing and typed bytes,
// the replies of send, and delivery into a real terminal whose program
// records what it is typed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "messages/queue.h"
#include "server/event_loop.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/status.h"
#include "server/tick.h"
#include "server/window.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Messages, Normalise) {
    struct Case {
        std::string in;
        std::string want;  // the text, or the error
        bool ok = true;
    };
    const Case cases[] = {
        {"hello", "hello"},
        {"a\r\nb\rc\r\r\nd\n", "a\nb\nc\n\nd"},
        {"\x1b[31mred\x1b[0m\x07", "[31mred[0m"},
        {"keep\ttabs\nand lines", "keep\ttabs\nand lines"},
        {"no\x7f" "del, no\u0085c1\u009b, keep\u00a0nbsp", "nodel, noc1, keep\u00a0nbsp"},
        {"\u00a0\u3000 trimmed \u2003\t\n", "trimmed"},
        {"bad \xff byte", "bad \uFFFD byte"},
        {"  \t\r\n ", "message is empty", false},
        {"\x1b\x07\x01", "message is empty", false},
        {std::string(65536, 'a'), std::string(65536, 'a')},
        {"  " + std::string(65536, 'a') + "\n", std::string(65536, 'a')},
        {std::string(65537, 'a'), "message is larger than 64 KiB", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.substr(0, 40));
        auto got = normalise_message(c.in);
        if (c.ok) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(*got, c.want);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.want);
        }
    }
}

TEST(Messages, FrameAndPaste) {
    const auto now = Clock::now();
    const std::vector<QueuedMessage> two{{"first\nline two", "3", now}, {"second", std::nullopt, now}};
    const std::string framed =
        "[ruk] Message from agent '3' (another agent, not the user). Reply with: ruk send 3 \"<message>\"\n"
        "first\nline two\n\n"
        "[ruk] Message sent from outside ruk (no reply address).\nsecond";
    EXPECT_EQ(frame_messages(two), framed);

    auto text = [](const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); };
    EXPECT_EQ(text(paste_bytes("a\tb\nc", true)), "\x1b[200~a\tb\nc\x1b[201~");
    EXPECT_EQ(text(paste_bytes("a\tb\nc\n\nd", false)), "a b c  d");
}

TEST(Messages, AQueueIsOverdueOnceItsOldestWaitedTwoMinutes) {
    Window window;
    const auto now = Clock::now();
    EXPECT_EQ(overdue_messages(window, now), 0u);
    window.queue.push_back({"old", std::nullopt, now - 119s});
    window.queue.push_back({"new", std::nullopt, now});
    EXPECT_EQ(overdue_messages(window, now), 0u);
    EXPECT_EQ(overdue_messages(window, now + 1s), 2u);
}

// Windows without processes: nothing is ever typed, so every accepted
// message stays queued and the reply says why.
Window& add_window(Server& server, std::optional<std::string> name, std::optional<AgentState> state) {
    auto window = std::make_unique<Window>();
    window->id = server.next_window_id++;
    window->number = window->id + 2;
    window->name = std::move(name);
    if (state) {
        window->agent = Agent{};
        window->agent->state = *state;
    }
    server.windows.push_back(std::move(window));
    return *server.windows.back();
}

TEST(Messages, QueueRepliesAndRefusals) {
    Server server;
    Window& working = add_window(server, "proj-claude", AgentState::Working);
    Window& asking = add_window(server, "asking", AgentState::NeedsInput);
    Window& typing = add_window(server, "typing", AgentState::Idle);
    typing.last_input_at = Clock::now();
    Window& starting = add_window(server, "new-one", std::nullopt);
    starting.started_as_agent = true;
    Window& shell = add_window(server, std::nullopt, std::nullopt);
    Window& unnamed = add_window(server, std::nullopt, AgentState::Working);

    struct Case {
        WindowId target;
        std::string text;
        std::optional<std::string> sender;
        bool ok;
        std::string want;
    };
    const Case cases[] = {
        {working.id, "hi", std::nullopt, true,
         "queued for proj-claude (it is working); it will be delivered when proj-claude is idle"},
        {asking.id, "hi", "proj-claude", true,
         "queued for asking (it is waiting on a prompt); it will be delivered when asking is idle"},
        {typing.id, "hi", std::nullopt, true,
         "queued for typing (the user is typing there); it will be delivered when typing is idle"},
        {starting.id, "hi", std::nullopt, true,
         "queued for new-one (it is starting); it will be delivered when new-one is idle"},
        {unnamed.id, "hi", std::nullopt, true,
         "queued for window 7 (it is working); it will be delivered when window 7 is idle"},
        {shell.id, "hi", std::nullopt, false, "window 6 is not running an agent"},
        {working.id, "hi", "proj-claude", false, "can't send a message to yourself"},
        {unnamed.id, " \n", "7", false, "can't send a message to yourself"},
        {working.id, " \n", std::nullopt, false, "message is empty"},
        {99, "hi", std::nullopt, false, "window is gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        auto got = queue_message(server, c.target, c.text, c.sender);
        ASSERT_EQ(bool(got), c.ok) << (got ? *got : got.error().message);
        EXPECT_EQ(got ? *got : got.error().message, c.want);
    }
    ASSERT_EQ(asking.queue.size(), 1u);
    EXPECT_EQ(asking.queue[0].sender, "proj-claude");
    EXPECT_EQ(working.queue.size(), 1u) << "refused messages are not queued";
}

TEST(Messages, AnAgentThatDidNotStartLosesItsMessagesWithANotice) {
    Server server;
    Window& window = add_window(server, "proj-claude", std::nullopt);
    window.started_as_agent = true;
    ASSERT_TRUE(queue_message(server, window.id, "one", std::nullopt));
    ASSERT_TRUE(queue_message(server, window.id, "two", std::nullopt));
    drop_messages_of_unstarted_agent(server, window);
    EXPECT_TRUE(window.queue.empty());
    ASSERT_TRUE(current_status_message(server));
    EXPECT_EQ(*current_status_message(server), "proj-claude: agent didn't start; dropped 2 message(s)");

    // Nothing queued: nothing to say.
    server.status_message.reset();
    drop_messages_of_unstarted_agent(server, window);
    EXPECT_FALSE(current_status_message(server));
}

// A real window whose program puts its terminal in raw mode and records every
// byte it is typed.
class DeliveryTest : public ::testing::Test {
protected:
    test::TempDir dir;
    Server server;
    EventSender events = std::make_shared<EventChannel>();
    std::string typed = dir / "typed";

    DeliveryTest() {
        server.shell = "/bin/sh";
        server.socket_path = dir / "default.sock";
        server.events = events;
    }
    ~DeliveryTest() override {
        server.windows.clear();
        events->close();
    }

    Window& recorder(bool bracketed) {
        const std::string script = std::string("stty raw -echo; ") + (bracketed ? "printf '\\033[?2004h'; " : "") +
                                   "exec cat > '" + typed + "'";
        auto id = spawn_window(server, 24, 80, std::nullopt, {"sh", "-c", script});
        EXPECT_TRUE(id);
        Window* window = find_window(server, id.value_or(0));
        EXPECT_TRUE(window);
        // The file exists once the terminal is raw; the mode shows on the
        // screen once its output is handled.
        EXPECT_TRUE(run_until([&] {
            return ::access(typed.c_str(), F_OK) == 0 && (!bracketed || window->screen.bracketed_paste());
        }));
        window->agent = Agent{};
        window->agent->state = AgentState::Idle;
        return *window;
    }
    bool run_until(const std::function<bool()>& done) {
        const auto end = Clock::now() + 30s;
        while (!done()) {
            if (Clock::now() > end) return false;
            if (auto e = events->recv_until(Clock::now() + 20ms)) (void)handle_event(server, std::move(*e));
        }
        return true;
    }
    bool typed_ends_with(const std::string& tail) {
        const std::string got = test::read_file(typed);
        return got.size() >= tail.size() && got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
    }
};

TEST_F(DeliveryTest, AnIdleAgentGetsABracketedPasteAndEnterAfterIt) {
    Window& window = recorder(true);
    window.name = "proj-claude";
    const auto start = Clock::now();
    auto reply = queue_message(server, window.id, "hello\r\nworld \x1b[2J", "3");
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, "delivered to proj-claude");
    EXPECT_TRUE(window.queue.empty());

    ASSERT_TRUE(test::wait_for([&] { return typed_ends_with("\r"); }));
    EXPECT_GE(Clock::now() - start, ENTER_DELAY) << "the Enter waits behind the paste";
    EXPECT_EQ(test::read_file(typed),
              "\x1b[200~[ruk] Message from agent '3' (another agent, not the user). Reply with: ruk send 3 "
              "\"<message>\"\nhello\nworld [2J\x1b[201~\r");
}

TEST_F(DeliveryTest, TypingGuardSpacingAndOneLineWithoutBracketedPaste) {
    Window& window = recorder(false);
    server.tick = 10;
    window.agent->state = AgentState::Working;
    ASSERT_TRUE(queue_message(server, window.id, "first\nline", std::nullopt));
    ASSERT_TRUE(queue_message(server, window.id, "second", "9"));
    ASSERT_EQ(window.queue.size(), 2u);

    // Idle, but the user typed a second ago.
    window.agent->state = AgentState::Idle;
    window.last_input_at = Clock::now() - 1s;
    deliver_pending(server);
    EXPECT_EQ(window.queue.size(), 2u);

    window.last_input_at = Clock::now() - TYPING_GUARD;
    deliver_pending(server);
    EXPECT_TRUE(window.queue.empty());
    EXPECT_EQ(window.next_delivery_tick, 14u);
    const std::string batch =
        "[ruk] Message sent from outside ruk (no reply address). first line  "
        "[ruk] Message from agent '9' (another agent, not the user). Reply with: ruk send 9 \"<message>\" second\r";
    ASSERT_TRUE(test::wait_for([&] { return typed_ends_with("\r"); }));
    EXPECT_EQ(test::read_file(typed), batch);

    // A message right after a delivery waits four ticks.
    server.tick = 13;
    auto reply = queue_message(server, window.id, "third", std::nullopt);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->rfind("queued for window ", 0), 0u) << *reply;
    server.tick = 14;
    deliver_pending(server);
    EXPECT_TRUE(window.queue.empty());
    ASSERT_TRUE(test::wait_for([&] { return typed_ends_with("third\r"); }));
    EXPECT_EQ(test::read_file(typed), batch + "[ruk] Message sent from outside ruk (no reply address). third\r");
}

}  // namespace
}  // namespace ruk
