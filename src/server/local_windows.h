// Creating local windows and everything the loop does to one: input, size,
// output, exit, and the name of what runs in it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/peer.h"
#include "server/event_loop.h"
#include "server/server.h"

namespace ruk {

struct Window;

// Starts the shell (with `args`, an agent inside it) in a new window of that
// size. nullopt when the shell could not start; the reason is in the log.
std::optional<WindowId> spawn_window(Server& server, uint16_t rows, uint16_t cols, std::optional<std::string> cwd,
                                     const std::vector<std::string>& args);

// A plain shell, in the directory of what runs in `current` when there is one.
std::optional<WindowId> new_shell_window(Server& server, uint16_t rows, uint16_t cols,
                                         std::optional<WindowId> current);

struct StartedAgent {
    WindowId id = 0;
    std::string name;
};
Result<StartedAgent> start_local_agent(Server& server, const protocol::NewAgent& agent, uint16_t rows, uint16_t cols);

void resize_window(Server& server, Window& window, uint16_t rows, uint16_t cols);
// Typed by the user: the window takes the pane size first.
void write_input(Server& server, Window& window, std::span<const uint8_t> bytes);

// The program the user is running in the window (cached for 500 ms).
pid_t foreground_process(Window& window);
std::string process_display_name(Window& window);
// The last path component of a process's executable, without ".exe".
std::optional<std::string> executable_name(pid_t pid);

// A WindowOutput event: the screen fed, its replies written to the program,
// the bytes passed on to viewing peers.
void feed_output(Server& server, WindowId id, std::vector<uint8_t>&& bytes);

// A WindowExited event; Stop when the server has nothing left to show.
Flow window_exited(Server& server, WindowId id);

}  // namespace ruk
