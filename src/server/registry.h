// Window numbers and names, and the references users type for windows and
// machines. A window's id never changes; its number is what users see and
// can be moved; its name is either one a user gave or a default that follows
// the agent in it. Every change of a number or a name is published to peers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "server/server.h"
#include "server/window.h"
#include "util/result.h"

namespace ruk {

inline constexpr size_t MAX_WINDOW_NAME = 32;

// A window reference once resolved: a window that exists, or a number that no
// window on that machine has (only swap and move accept the latter).
struct WindowTarget {
    struct Existing {
        MachineId machine = 0;
        uint32_t number = 0;
        WindowId id = 0;
        bool operator==(const Existing&) const = default;
    };
    struct FreeNumber {
        MachineId machine = 0;
        uint32_t number = 0;
        bool operator==(const FreeNumber&) const = default;
    };

    std::variant<Existing, FreeNumber> target;

    MachineId machine() const;
    uint32_t number() const;
    const Existing* existing() const { return std::get_if<Existing>(&target); }
    bool operator==(const WindowTarget&) const = default;
};

// An unsigned 32-bit decimal number as users type window numbers: an optional
// "+", then digits only; anything else (signs, blanks, overflow) is not one.
std::optional<uint32_t> parse_window_number(std::string_view text);

// The smallest number that no local window has.
uint32_t allocate_window_number(const Server& server);

// Puts the window at its place by number and returns it.
Window& insert_window(Server& server, std::unique_ptr<Window> window);

Window* find_window(Server& server, WindowId id);
const Window* find_window(const Server& server, WindowId id);
Machine* find_machine(Server& server, MachineId id);
const Machine* find_machine(const Server& server, MachineId id);

// The name under which a machine is shown: this server's host name for
// machine 0, else the short host name, or the host without its user part
// when another connected machine has the same short name.
std::string machine_display_name(const Server& server, MachineId machine);

Result<void> validate_window_name(std::string_view name);

// The default name of an agent window before it is made unique: the project's
// slug, "-" and the runtime name, or the runtime name alone.
std::string default_name_base(std::optional<std::string_view> project_name, std::string_view runtime_name);

// `base`, or `base-N` for the smallest N >= 2, whichever no local window
// other than `self` is named.
std::string unique_window_name(const Server& server, std::string_view base, WindowId self);

// A local window by exact name, else by number.
std::optional<WindowId> find_local_window(const Server& server, std::string_view text);

// "NUMBER", "NAME", "NUMBER@HOST" or "NAME@HOST"; without a host, numbers are
// on `default_machine` and a name is looked for there first, then everywhere.
Result<WindowTarget> resolve_window(const Server& server, std::string_view text, MachineId default_machine);

// A remote machine by host string, host without user, or short name; also
// one whose link is down.
Result<MachineId> resolve_machine(const Server& server, std::string_view text);

Result<void> rename_local_window(Server& server, WindowId id, std::string_view name);

// Drops the window's name; an agent window gets its default name at once.
Result<void> reset_window_name(Server& server, WindowId id);

// The window takes `number`; a window that held it takes the old number.
Result<void> move_local_window(Server& server, WindowId id, uint32_t number);

// Swaps two windows, or moves one to a free number. Without `other`, the
// context window (the one the command runs in, or the viewed one) is the
// other window.
Result<void> swap_windows(Server& server, std::string_view first, std::optional<std::string_view> other,
                          std::optional<View> context);

// Gives agent windows their default names, follows changes of project and
// runtime, and drops default names from windows whose agent has gone.
void refresh_default_names(Server& server);

}  // namespace ruk
