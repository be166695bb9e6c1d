// The loop's channel across threads: a sender wakes a receiver that sleeps
// with or without a deadline, closing wakes it for good, and a window's
// output arrives in order and ends with its exit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "server/events.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(EventChannelTest, SendersWakeASleepingReceiverAndCloseEndsIt) {
    EventChannel channel;
    for (const bool with_deadline : {false, true}) {
        std::thread sender([&] {
            std::this_thread::sleep_for(50ms);  // lets the receiver fall asleep first; the test holds either way
            channel.send(event::Tick{});
        });
        auto got = with_deadline ? channel.recv_until(Clock::now() + 30s) : channel.recv();
        sender.join();
        ASSERT_TRUE(got);
        EXPECT_TRUE(std::holds_alternative<event::Tick>(*got));
    }
    const auto start = Clock::now();
    EXPECT_FALSE(channel.recv_until(start + 100ms)) << "nothing came";
    EXPECT_GE(Clock::now() - start, 100ms) << "the deadline is kept";

    channel.send(event::Tick{});
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        channel.close();
    });
    EXPECT_TRUE(channel.recv()) << "what was queued before the close is still received";
    EXPECT_FALSE(channel.recv()) << "a receiver asleep when the channel closes wakes with nothing";
    closer.join();
    EXPECT_FALSE(channel.send(event::Tick{}));
}

TEST(EventChannelTest, OutputArrivesInOrderThenTheEnd) {
    EventChannel channel;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    Fd read_end(fds[0]), write_end(fds[1]);
    const int fd = read_end.get();
    channel.watch(fd, window_output_reader(7, std::move(read_end), 64));
    std::string expected;
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            const std::string line = std::to_string(i) + "\n";
            ASSERT_EQ(::write(write_end.get(), line.data(), line.size()), ssize_t(line.size()));
        }
        write_end.reset();
    });
    for (int i = 0; i < 200; ++i) expected += std::to_string(i) + "\n";
    std::string got;
    bool ended = false;
    while (!ended) {
        auto e = channel.recv_until(Clock::now() + 30s);
        ASSERT_TRUE(e);
        if (auto* out = std::get_if<event::WindowOutput>(&*e)) {
            EXPECT_EQ(out->window, 7u);
            got.append(out->bytes.begin(), out->bytes.end());
        } else {
            ASSERT_TRUE(std::holds_alternative<event::WindowExited>(*e));
            ended = true;
        }
    }
    writer.join();
    EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace ruk
