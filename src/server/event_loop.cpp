// Batching and the dispatch of events to their handlers. The handlers
// themselves live with the concern they serve.
#include "server/event_loop.h"

#include "server/handlers.h"
#include "server/server.h"

namespace ruk {

namespace {

class ChannelSource final : public LoopSource {
public:
    explicit ChannelSource(EventChannel& events) : m_events(events) {}
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    std::optional<ServerEvent> wait() override { return m_events.recv(); }
    std::optional<ServerEvent> wait_until(TimePoint deadline) override { return m_events.recv_until(deadline); }
    std::optional<ServerEvent> try_take() override { return m_events.try_recv(); }

private:
    EventChannel& m_events;
};

}  // namespace

Flow run_batch(LoopSource& source, LoopSource::TimePoint& last_frame, const LoopSteps& steps) {
    auto first = source.wait();
    if (!first) return Flow::Stop;
    if (steps.handle(std::move(*first)) == Flow::Stop) return Flow::Stop;

    const auto deadline = last_frame + FRAME_INTERVAL;
    size_t handled = 0;
    while (true) {
        const bool past = source.now() >= deadline;
        if (handled >= BATCH_CAP && past) break;
        auto next = past || steps.urgent() ? source.try_take() : source.wait_until(deadline);
        if (!next) break;
        ++handled;
        if (steps.handle(std::move(*next)) == Flow::Stop) return Flow::Stop;
    }
    steps.after_batch();
    last_frame = source.now();
    return Flow::Continue;
}

void run_event_loop(Server& server, EventChannel& events) {
    ChannelSource source(events);
    // The first batch renders at once.
    auto last_frame = source.now() - FRAME_INTERVAL;
    const LoopSteps steps{
        .handle = [&](ServerEvent&& event) { return handle_event(server, std::move(event)); },
        .after_batch = [&] { after_batch(server); },
        .urgent = [&] { return std::chrono::steady_clock::now() - server.last_client_input < INTERACTIVE_WINDOW; },
    };
    while (run_batch(source, last_frame, steps) == Flow::Continue) {
    }
}

Flow handle_event(Server& server, ServerEvent&& event) {
    return std::visit([&](auto&& e) { return on_event(server, std::move(e)); }, std::move(event));
}

}  // namespace ruk
