// The process side of a local window: the pseudo terminal, and the three
// threads that serve it. The reader turns output into WindowOutput events and
// waits while 256 KiB of them are not yet consumed, so a program that writes
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
inline constexpr uint64_t OUTPUT_CREDIT = 262144;

class WindowProcess {
public:
    static Result<std::unique_ptr<WindowProcess>> start(WindowId id, const sys::PtyOptions& options,
                                                        EventSender events);
    // Never blocks: hangs the terminal up, which ends what runs in it, and
    // tells the threads to stop.
    ~WindowProcess();
    WindowProcess(const WindowProcess&) = delete;
    WindowProcess& operator=(const WindowProcess&) = delete;

    pid_t pid() const { return m_pid; }
    int master() const { return m_master.get(); }

    // The loop consumed this much of the output: the reader may read on.
    void consumed(size_t bytes);
    // Bytes owed to the reader and not yet consumed.
    uint64_t pending() const;

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
};

}  // namespace ruk
