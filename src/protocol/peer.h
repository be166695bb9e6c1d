// The bodies of the peer protocol between two servers: what a viewing server
// asks (PeerRequest) and what the serving server tells it (PeerEvent). A
// window is always named by its stable id, never by its number, except in
// the "index" fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

}  // namespace ruk::protocol
