// The event loop: one thread, one channel. Events are handled in batches and
// the attached client is rendered once per batch, at most once per 16 ms
// frame; a burst after the frame deadline is drained, but not beyond 256
// events, so a flood of output cannot hold back the next frame.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "server/events.h"

namespace ruk {

struct Server;

enum class Flow { Continue, Stop };

inline constexpr std::chrono::milliseconds FRAME_INTERVAL{16};
inline constexpr size_t BATCH_CAP = 256;

// Where the loop gets time and events; the server's is the real clock and the
// channel, a test's is a scripted one.
class LoopSource {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~LoopSource() = default;
    virtual TimePoint now() = 0;
    virtual std::optional<ServerEvent> wait() = 0;                    // nullopt: the channel closed
    virtual std::optional<ServerEvent> wait_until(TimePoint deadline) = 0;  // nullopt: none came in time
    virtual std::optional<ServerEvent> try_take() = 0;                // only what is already waiting
};

struct LoopSteps {
    std::function<Flow(ServerEvent&&)> handle;
    std::function<void()> after_batch;
    // True while the user is interacting: the batch then ends as soon as no
    // event is waiting instead of waiting out the frame, so the echo of a key
    // is drawn at once rather than up to a frame later.
    std::function<bool()> urgent = [] { return false; };
};

// How long after the client's last input the loop draws without waiting.
inline constexpr std::chrono::milliseconds INTERACTIVE_WINDOW{100};

// One batch: the first event (blocking), the rest of the frame's events, then
// the after-batch steps. Returns Stop when the loop must end.
Flow run_batch(LoopSource& source, LoopSource::TimePoint& last_frame, const LoopSteps& steps);

// Runs the server until a handler says stop or the channel closes.
void run_event_loop(Server& server, EventChannel& events);

Flow handle_event(Server& server, ServerEvent&& event);

}  // namespace ruk
