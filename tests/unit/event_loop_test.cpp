// The loop's batching, driven by a scripted clock and event source, so the
// frame timing is checked without sleeping.
#include <gtest/gtest.h>

#include <deque>

#include "server/event_loop.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using TimePoint = LoopSource::TimePoint;

// Events arrive at scripted times; waiting moves the clock forward.
class ScriptedSource final : public LoopSource {
public:
    void arrive(std::chrono::milliseconds at, size_t count) {
        for (size_t i = 0; i < count; ++i) m_script.push_back(START + at);
    }
    TimePoint now() override { return m_now; }
    std::optional<ServerEvent> wait() override {
        if (m_script.empty()) return std::nullopt;
        m_now = std::max(m_now, m_script.front());
        return take();
    }
    std::optional<ServerEvent> wait_until(TimePoint deadline) override {
        if (!m_script.empty() && m_script.front() <= deadline) {
            m_now = std::max(m_now, m_script.front());
            return take();
        }
        m_now = std::max(m_now, deadline);
        return std::nullopt;
    }
    std::optional<ServerEvent> try_take() override {
        if (!m_script.empty() && m_script.front() <= m_now) return take();
        return std::nullopt;
    }
    void advance(std::chrono::microseconds by) { m_now += by; }

    static inline const TimePoint START{std::chrono::seconds(1000)};

private:
    std::optional<ServerEvent> take() {
        m_script.pop_front();
        return ServerEvent{event::Tick{}};
    }
    std::deque<TimePoint> m_script;
    TimePoint m_now = START;
};

struct Batch {
    size_t events;
    std::chrono::milliseconds rendered_at;
};

std::vector<Batch> run_all(ScriptedSource& source, std::chrono::microseconds cost_per_event = 0us) {
    std::vector<Batch> batches;
    size_t count = 0;
    const LoopSteps steps{
        .handle = [&](ServerEvent&&) {
            ++count;
            source.advance(cost_per_event);
            return Flow::Continue;
        },
        .after_batch = [&] {
            batches.push_back({count, std::chrono::duration_cast<std::chrono::milliseconds>(source.now() -
                                                                                         ScriptedSource::START)});
            count = 0;
        },
    };
    auto last_frame = source.now() - FRAME_INTERVAL;
    while (run_batch(source, last_frame, steps) == Flow::Continue) {
    }
    return batches;
}

TEST(EventLoop, BacklogAfterQuietSpellIsCappedThenRenderedOneFrameLater) {
    ScriptedSource source;
    source.arrive(0ms, 300);  // all waiting when the batch begins
    const auto batches = run_all(source);
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].events, 257u);  // the first event and 256 more
    EXPECT_EQ(batches[0].rendered_at, 0ms);
    EXPECT_EQ(batches[1].events, 43u);
    EXPECT_EQ(batches[1].rendered_at, 16ms);
}

TEST(EventLoop, EventsWithinOneFrameShareOneRender) {
    ScriptedSource source;
    source.arrive(0ms, 1);  // rendered at once after a quiet spell
    for (int i = 0; i < 300; ++i) source.arrive(std::chrono::milliseconds(5 + i / 30), 1);
    const auto batches = run_all(source);
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].events, 1u);
    EXPECT_EQ(batches[0].rendered_at, 0ms);
    EXPECT_EQ(batches[1].events, 300u);
    EXPECT_EQ(batches[1].rendered_at, 16ms);  // waited out the frame for more
}

TEST(EventLoop, SlowHandlingStillRendersEveryFewHundredEvents) {
    ScriptedSource source;
    source.arrive(0ms, 1000);
    const auto batches = run_all(source, 100us);  // 256 events take 25.6 ms
    size_t total = 0;
    for (const auto& b : batches) {
        EXPECT_LE(b.events, 257u);
        total += b.events;
    }
    EXPECT_EQ(total, 1000u);
}

TEST(EventLoop, StopFromAHandlerEndsTheLoopAtOnce) {
    ScriptedSource source;
    source.arrive(0ms, 10);
    size_t handled = 0;
    bool rendered = false;
    const LoopSteps steps{
        .handle = [&](ServerEvent&&) { return ++handled == 3 ? Flow::Stop : Flow::Continue; },
        .after_batch = [&] { rendered = true; },
    };
    auto last_frame = source.now() - FRAME_INTERVAL;
    EXPECT_EQ(run_batch(source, last_frame, steps), Flow::Stop);
    EXPECT_EQ(handled, 3u);
    EXPECT_FALSE(rendered);
}

}  // namespace
}  // namespace ruk

namespace ruk {
namespace {

TEST(EventLoop, WhileTheUserTypesABatchEndsAsSoonAsNothingWaits) {
    ScriptedSource source;
    source.arrive(0ms, 1);    // a key, rendered at once
    source.arrive(1ms, 1);    // its echo, right after that render
    std::vector<std::chrono::milliseconds> renders;
    const LoopSteps steps{
        .handle = [&](ServerEvent&&) { return Flow::Continue; },
        .after_batch = [&] {
            renders.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(source.now() - ScriptedSource::START));
        },
        .urgent = [] { return true; },
    };
    auto last_frame = source.now() - FRAME_INTERVAL;
    while (run_batch(source, last_frame, steps) == Flow::Continue) {
    }
    ASSERT_EQ(renders.size(), 2u);
    EXPECT_EQ(renders[1], 1ms) << "the echo is not held for the rest of the frame";
}

}  // namespace
}  // namespace ruk
