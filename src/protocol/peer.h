// The bodies of the peer protocol between two servers: what a viewing server
// asks (PeerRequest) and what the serving server tells it (PeerEvent). A
// window is always named by its stable id, never by its number, except in
// the "index" fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ruk::protocol {

inline constexpr uint32_t PROTOCOL_VERSION = 2;

struct Location {
    std::string root;
    std::optional<std::string> branch;
    bool operator==(const Location&) const = default;
};

struct AgentInfo {
    std::string kind;   // "claude", "codex", "opencode", "pi", "grok" or "other"
    std::string state;  // "idle", "working" or "needs_input"
    std::optional<Location> location;
    uint64_t queued = 0;
    bool overdue = false;
    bool operator==(const AgentInfo&) const = default;
};

struct WindowInfo {
    uint32_t id = 0;
    uint32_t index = 0;  // the window number
    std::optional<std::string> name;
    std::string process;
    std::optional<AgentInfo> agent;
    bool operator==(const WindowInfo&) const = default;
};

struct NewAgent {
    std::string runtime;
    std::vector<std::string> args;
    std::optional<std::string> name;
    std::optional<std::string> dir;
    bool operator==(const NewAgent&) const = default;
};

// What the viewing server asks. Only hello may be sent before the welcome.
namespace peer_request {
struct Hello {
    uint32_t version = PROTOCOL_VERSION;
    bool operator==(const Hello&) const = default;
};
// The window whose output the viewing server wants from now on (none: no
// window), in a pane of rows by cols.
struct View {
    std::optional<uint32_t> window;
    uint16_t rows = 24, cols = 80;
    bool operator==(const View&) const = default;
};
// A shell (or, with an agent, an agent) in a new window; a shell starts in
// the directory of the window `near`.
struct NewWindow {
    std::optional<uint32_t> near;
    uint16_t rows = 24, cols = 80;
    std::optional<NewAgent> agent;
    std::optional<uint64_t> request;  // echoed in the answer
    bool operator==(const NewWindow&) const = default;
};
// No name gives the window back its default name.
struct Rename {
    uint32_t window = 0;
    std::optional<std::string> name;
    bool operator==(const Rename&) const = default;
};
struct MoveWindow {
    uint32_t window = 0;
    uint32_t index = 0;  // the number the window is to take
    bool operator==(const MoveWindow&) const = default;
};
}  // namespace peer_request

using PeerRequest =
    std::variant<peer_request::Hello, peer_request::View, peer_request::NewWindow, peer_request::Rename,
                 peer_request::MoveWindow>;

// What the serving server tells.
namespace peer_event {
struct Welcome {
    uint32_t version = PROTOCOL_VERSION;
    std::string instance;
    std::vector<std::string> features;
    uint64_t build = 0;
    std::string release;
    bool operator==(const Welcome&) const = default;
};
// Every local window, in number order.
struct Windows {
    std::vector<WindowInfo> windows;
    bool operator==(const Windows&) const = default;
};
struct Created {
    uint32_t window = 0;
    std::optional<uint64_t> request;
    std::optional<std::string> name;  // present for agent windows
    bool operator==(const Created&) const = default;
};
struct Error {
    std::string message;
    std::optional<uint64_t> request;
    bool operator==(const Error&) const = default;
};
}  // namespace peer_event

using PeerEvent = std::variant<peer_event::Welcome, peer_event::Windows, peer_event::Created, peer_event::Error>;

// The optional requests a server of this build carries out, announced in its welcome.
inline constexpr std::string_view FEATURE_NEW_AGENT = "new-agent";
inline constexpr std::string_view FEATURE_MOVE_WINDOW = "move-window";

}  // namespace ruk::protocol
