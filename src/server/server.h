// The whole state of the server. Only the event-loop thread touches it: every
// other thread turns what it sees into a ServerEvent on `events`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/outbound_queue.h"
#include "server/machine.h"
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

// The attached terminal client.
struct Client {
    ConnId conn = 0;
    std::unique_ptr<protocol::OutboundQueue> queue;
};

struct StatusMessage {
    std::string text;
    uint64_t expires = 0;  // tick
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
    int listener = -1;     // owned by the accept thread; shut down when the server stops
    EventSender events;

    // The attached terminal.
    std::optional<Client> client;
    TermSize size;
    bool focused = false;
    std::optional<View> view;

    // Local windows, sorted by number.
    std::vector<std::unique_ptr<Window>> windows;
    WindowId next_window_id = 0;

    // Remote machines in the order they were added; ids from 1.
    std::vector<Machine> machines;
    MachineId next_machine_id = 1;

    uint64_t tick = 0;
    std::optional<StatusMessage> status_message;
    bool hosts_loaded = false;
};

}  // namespace ruk
