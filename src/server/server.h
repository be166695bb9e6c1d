// The whole state of the server. Only the event-loop thread touches it: every
// other thread turns what it sees into a ServerEvent on `events`.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agents/agent.h"
#include "notify/notify.h"
#include "protocol/outbound_queue.h"
#include "server/machine.h"
#include "server/peer_connection.h"
#include "server/events.h"

namespace ruk {

struct Window;

struct TermSize {
    uint16_t rows = 24, cols = 80;
    bool operator==(const TermSize&) const = default;
};

// What the attached client shows: a window on a machine (0 is this one).
struct View {
    MachineId machine = 0;
    WindowId window = 0;
    bool operator==(const View&) const = default;
};

// What the client was last sent, which the next frame is diffed against;
// owned by the composer.
struct FrameState;

// The attached terminal client.
struct Client {
    ConnId conn = 0;
    std::unique_ptr<protocol::OutboundQueue> queue;
    std::shared_ptr<FrameState> frame;  // none: the next frame draws everything
    // A mouse report that the end of the last input cut short; the next input
    // continues it, so the rest never reaches the window as typed text.
    std::vector<uint8_t> held_input;
};

// The client's views besides the live window.
struct ScrollbackState {
    bool active = false;
    MachineId machine = 0;
    WindowId window = 0;
    size_t offset = 0;      // lines scrolled back; 0 is the live screen
    size_t max_offset = 0;  // history lines available
};

struct HelpState {
    bool open = false;
    size_t offset = 0;  // first help line shown
};

struct PromptState {
    enum class Kind { Rename, Command };
    Kind kind = Kind::Command;
    std::string input;
    View target;                      // the window a rename prompt renames
    std::optional<std::string> hint;  // the command prompt's hint
};

struct SwitcherState {
    std::string query;
    size_t selected = 0;  // position among the matching entries
    size_t scroll = 0;    // first list row shown
};

struct StatusMessage {
    std::string text;
    uint64_t expires = 0;  // tick
};

// What the alert pass remembers between ticks, per agent (machine, window).
struct AlertBook {
    enum class Kind { NeedsInput, Done };
    using AgentKey = std::pair<MachineId, WindowId>;
    struct AlertKey {
        MachineId machine = 0;
        WindowId window = 0;
        Kind kind = Kind::NeedsInput;
        auto operator<=>(const AlertKey&) const = default;
    };
    std::map<AgentKey, AgentState> last_state;
    std::map<AlertKey, uint64_t> last_alert;  // tick the alert was last considered
};

struct Server {
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Fixed at start.
    std::string socket_path;
    std::string shell;
    std::string host_name;
    std::string instance;  // 16 lowercase hex digits
    Notifier notifier;     // chosen at start (choose_notifier)
    int listener = -1;     // owned by the accept thread; shut down when the server stops
    EventSender events;

    // The attached terminal.
    std::optional<Client> client;
    TermSize size;
    bool focused = false;
    std::chrono::steady_clock::time_point last_client_input;  // for drawing echoes at once
    std::optional<View> view;
    std::vector<View> view_history;  // most recent first, at most 64, no duplicates
    bool prefix_pending = false;
    ScrollbackState scrollback;
    HelpState help;
    std::optional<PromptState> prompt;
    std::optional<SwitcherState> switcher;
    // Sees every byte string typed into the viewed window, before it goes
    // there; tests watch the window's input through it.
    std::function<void(View, std::span<const uint8_t>)> input_tap;

    // Local windows, sorted by number.
    std::vector<std::unique_ptr<Window>> windows;
    WindowId next_window_id = 0;

    // Other servers that show our windows, in order of arrival.
    std::vector<PeerConnection> peers;

    // Remote machines in the order they were added; ids from 1.
    std::vector<Machine> machines;
    MachineId next_machine_id = 1;
    uint64_t next_link_id = 1;
    // Commands that wait for another machine's answer, oldest first.
    std::vector<PendingRemoteRequest> pending_remote_requests;
    uint64_t next_request_id = 0;

    uint64_t tick = 0;
    std::optional<StatusMessage> status_message;
    std::optional<uint64_t> announced_build;  // the last newer build announced
    std::optional<std::string> available_release;  // a newer release's version, for the status bar
    std::optional<std::string> available_release_line;  // and its whole description, for `version`
    bool hosts_loaded = false;
    AlertBook alerts;
};

}  // namespace ruk
