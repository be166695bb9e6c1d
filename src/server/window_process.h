// The process side of a local window: the pseudo terminal and the two threads
// that serve it. The loop reads the output itself, through the event channel
// (one read of at most OUTPUT_BLOCK bytes per wait), so a program that writes
// faster than the server parses is slowed at its terminal, not buffered. The
// waiter reports the exit. The writer takes input off the loop: a program
// that stops reading stalls only its own input, never the server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "server/events.h"
#include "sys/sys.h"
#include "util/result.h"

namespace ruk {

inline constexpr size_t OUTPUT_BLOCK = 65536;

class WindowProcess {
public:
    static Result<std::unique_ptr<WindowProcess>> start(WindowId id, const sys::PtyOptions& options,
                                                        EventSender events);
    // Never blocks: hangs the terminal up, which ends what runs in it, and
    // stops the loop reading it. Destroyed on the receiving thread.
    ~WindowProcess();
    WindowProcess(const WindowProcess&) = delete;
    WindowProcess& operator=(const WindowProcess&) = delete;

    pid_t pid() const { return m_pid; }
    int master() const { return m_master.get(); }

    // Queued for the writer, in order; `after` delays this write (and what
    // follows it) by that long.
    void write(std::vector<uint8_t> bytes, std::chrono::milliseconds after = std::chrono::milliseconds(0));

    Result<void> resize(uint16_t rows, uint16_t cols);
    std::optional<pid_t> foreground_group() const;

private:
    struct Shared;
    WindowProcess() = default;
    Fd m_master;
    pid_t m_pid = 0;
    std::shared_ptr<Shared> m_shared;
    uint64_t m_output_key = 0;  // the terminal's source in the event channel
    EventSender m_events;
};

}  // namespace ruk
