// Window numbers, names and references. Every operation checks everything it
// can before it changes anything, so a failure leaves the state as it was.
// Remote windows are read from the list their server last published; changing
// them is a request to that server, which runs the same operations there.
#include "server/registry.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "hosts/host_names.h"
#include "location/location.h"
#include "server/peers.h"
#include "server/remote.h"
#include "util/sanitize.h"

namespace ruk {

namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) { return is_ascii_letter(c) || is_ascii_digit(c) || c == '-' || c == '_' || c == '.'; }

std::string quoted(std::string_view text) {
    std::string out = "'";
    out += text;
    out += '\'';
    return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

// The character that starts at `at`, as a message can show it: messages are
// one line and reach a terminal, so control and bidirectional characters are
// written as U+XXXX and a broken UTF-8 sequence as U+FFFD.
std::string shown_character(std::string_view text, size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    char32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length != 0 && at + length <= text.size();
    for (size_t i = 1; valid && i < length; ++i) {
        auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) valid = false;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid) return "U+FFFD";
    bool hidden = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
                  (cp >= 0x2066 && cp <= 0x2069);
    if (hidden) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
        return buf;
    }
    return std::string(text.substr(at, length));
}

// A default name that still fits its base: the base itself, or the base with
// the "-N" that made it unique, so that a second agent keeps "-2".
bool fits_base(std::string_view name, std::string_view base) {
    if (!name.starts_with(base)) return false;
    auto rest = name.substr(base.size());
    if (rest.empty()) return true;
    return rest.starts_with('-') && parse_window_number(rest.substr(1)).has_value();
}

bool name_taken(const Server& server, std::string_view name, WindowId self) {
    return std::any_of(server.windows.begin(), server.windows.end(),
                       [&](const auto& w) { return w->id != self && w->name && *w->name == name; });
}

WindowTarget by_number(const Server& server, MachineId machine, uint32_t number) {
    if (machine == 0) {
        for (const auto& w : server.windows)
            if (w->number == number) return {WindowTarget::Existing{0, number, w->id}};
    } else if (const Machine* m = find_machine(server, machine)) {
        for (const auto& w : m->windows)
            if (w.index == number) return {WindowTarget::Existing{machine, number, w.id}};
    }
    return {WindowTarget::FreeNumber{machine, number}};
}

std::optional<WindowTarget> by_name(const Server& server, MachineId machine, std::string_view name) {
    if (machine == 0) {
        for (const auto& w : server.windows)
            if (w->name && *w->name == name) return WindowTarget{WindowTarget::Existing{0, w->number, w->id}};
    } else if (const Machine* m = find_machine(server, machine)) {
        for (const auto& w : m->windows)
            if (w.name && *w.name == name) return WindowTarget{WindowTarget::Existing{machine, w.index, w.id}};
    }
    return std::nullopt;
}

bool window_listed(const Server& server, MachineId machine, WindowId id) {
    if (machine == 0) return find_window(server, id) != nullptr;
    const Machine* m = find_machine(server, machine);
    return m && std::any_of(m->windows.begin(), m->windows.end(), [&](const auto& w) { return w.id == id; });
}

std::unexpected<Error> between_machines(const Server& server, MachineId a, MachineId b) {
    return fail("can't swap windows between machines (" + machine_display_name(server, a) + " and " +
                machine_display_name(server, b) + ")");
}

Result<void> move_remote_window(Server& server, MachineId machine, WindowId id, uint32_t number) {
    const Machine* m = find_machine(server, machine);
    if (!m) return fail("machine is gone");
    if (!m->connected) return fail(m->host + " is not connected");
    if (std::find(m->features.begin(), m->features.end(), "move-window") == m->features.end())
        return fail("ruk on " + machine_display_name(server, machine) + ", is too old to swap windows; update it there");
    std::string host = m->host;  // the request may touch the machine list
    if (!request_move_window(server, machine, id, number)) return fail(host + " is not connected");
    return {};
}

}  // namespace

MachineId WindowTarget::machine() const {
    return std::visit([](const auto& t) { return t.machine; }, target);
}

uint32_t WindowTarget::number() const {
    return std::visit([](const auto& t) { return t.number; }, target);
}

std::optional<uint32_t> parse_window_number(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (!is_ascii_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// Exact whatever the order of the list: the numbers are collected and sorted
// rather than trusting that the windows are.
uint32_t allocate_window_number(const Server& server) {
    std::vector<uint32_t> used;
    used.reserve(server.windows.size());
    for (const auto& w : server.windows) used.push_back(w->number);
    std::sort(used.begin(), used.end());
    uint32_t candidate = 0;
    for (uint32_t number : used) {
        if (number == candidate) ++candidate;
        else if (number > candidate) break;
    }
    return candidate;
}

Window& insert_window(Server& server, std::unique_ptr<Window> window) {
    auto at = std::upper_bound(server.windows.begin(), server.windows.end(), window->number,
                               [](uint32_t number, const auto& w) { return number < w->number; });
    return **server.windows.insert(at, std::move(window));
}

Window* find_window(Server& server, WindowId id) {
    for (auto& w : server.windows)
        if (w->id == id) return w.get();
    return nullptr;
}

const Window* find_window(const Server& server, WindowId id) {
    return find_window(const_cast<Server&>(server), id);
}

Machine* find_machine(Server& server, MachineId id) {
    for (auto& m : server.machines)
        if (m.id == id) return &m;
    return nullptr;
}

const Machine* find_machine(const Server& server, MachineId id) {
    return find_machine(const_cast<Server&>(server), id);
}

std::string machine_display_name(const Server& server, MachineId machine) {
    if (machine == 0) return server.host_name;
    const Machine* m = find_machine(server, machine);
    if (!m) return "machine " + std::to_string(machine);
    std::string short_name = short_host_name(m->host);
    bool shared = std::any_of(server.machines.begin(), server.machines.end(), [&](const Machine& other) {
        return other.id != m->id && other.connected && short_host_name(other.host) == short_name;
    });
    if (!shared) return short_name;
    auto at = m->host.rfind('@');
    return at == std::string::npos ? m->host : m->host.substr(at + 1);
}

Result<void> validate_window_name(std::string_view name) {
    if (name.empty()) return fail("name is empty");
    if (name.size() > MAX_WINDOW_NAME)
        return fail("name is longer than " + std::to_string(MAX_WINDOW_NAME) + " characters");
    if (!is_ascii_letter(name[0]) && !is_ascii_digit(name[0])) return fail("name must start with a letter or digit");
    for (size_t i = 0; i < name.size(); ++i)
        if (!is_name_char(name[i]))
            return fail("name may not contain '" + shown_character(name, i) + "' (use letters, digits, - _ .)");
    if (std::all_of(name.begin(), name.end(), is_ascii_digit))
        return fail("name may not be only digits (those refer to window numbers)");
    return {};
}

std::string default_name_base(std::optional<std::string_view> project_name, std::string_view runtime_name) {
    constexpr size_t MAX_SLUG = 22;
    std::string slug;
    if (project_name) {
        // Byte by byte: every byte of a non-ASCII character is "other", and a
        // run of them gives one "-" like any other run.
        for (char c : *project_name) {
            if (is_ascii_letter(c)) slug += static_cast<char>(c | 0x20);
            else if (is_ascii_digit(c) || c == '.' || c == '_') slug += c;
            else if (slug.empty() || slug.back() != '-') slug += '-';
        }
        auto edge = [](char c) { return c == '-' || c == '.'; };
        size_t begin = 0, end = slug.size();
        while (begin < end && edge(slug[begin])) ++begin;
        while (end > begin && edge(slug[end - 1])) --end;
        slug = slug.substr(begin, std::min(end - begin, MAX_SLUG));
    }
    if (slug.empty()) return std::string(runtime_name);
    return slug + "-" + std::string(runtime_name);
}

std::string unique_window_name(const Server& server, std::string_view base, WindowId self) {
    if (!name_taken(server, base, self)) return std::string(base);
    for (uint64_t n = 2;; ++n) {
        std::string candidate = std::string(base) + "-" + std::to_string(n);
        if (!name_taken(server, candidate, self)) return candidate;
    }
}

std::optional<WindowId> find_local_window(const Server& server, std::string_view text) {
    for (const auto& w : server.windows)
        if (w->name && *w->name == text) return w->id;
    if (auto number = parse_window_number(text))
        for (const auto& w : server.windows)
            if (w->number == *number) return w->id;
    return std::nullopt;
}

Result<MachineId> resolve_machine(const Server& server, std::string_view text) {
    auto host = [](const Machine& m) { return m.host; };
    auto without_user = [](const Machine& m) {
        auto at = m.host.rfind('@');
        return at == std::string::npos ? m.host : m.host.substr(at + 1);
    };
    auto short_name = [](const Machine& m) { return short_host_name(m.host); };
    std::string (*const passes[])(const Machine&) = {host, without_user, short_name};

    // Every listed machine is a candidate, also one whose link is down: the
    // caller then says that it is not connected rather than that it is unknown.
    for (auto key : passes) {
        std::vector<const Machine*> found;
        for (const Machine& m : server.machines)
            if (key(m) == text) found.push_back(&m);
        if (found.size() == 1) return found[0]->id;
        if (found.size() > 1) {
            std::vector<std::string> hosts;
            for (const Machine* m : found) hosts.push_back(m->host);
            return fail(quoted(text) + " could be any of " + join(hosts, ", ") + "; use the full name");
        }
    }
    std::vector<std::string> connected;
    for (const Machine& m : server.machines)
        if (m.connected) connected.push_back(m.host);
    if (connected.empty())
        return fail("no machine " + quoted(text) + ": not connected to any (add one with: ruk connect HOST)");
    return fail("no machine " + quoted(text) + " (connected: " + join(connected, ", ") + ")");
}

Result<WindowTarget> resolve_window(const Server& server, std::string_view text, MachineId default_machine) {
    if (auto at = text.rfind('@'); at != std::string_view::npos) {
        auto window = text.substr(0, at);
        auto host = text.substr(at + 1);
        MachineId machine = 0;
        if (host != server.host_name && host != short_host_name(server.host_name))
            machine = RUK_TRY(resolve_machine(server, host));
        if (auto number = parse_window_number(window)) return by_number(server, machine, *number);
        if (auto found = by_name(server, machine, window)) return *found;
        return fail("no window named " + quoted(window) + " on " + machine_display_name(server, machine));
    }
    if (auto number = parse_window_number(text)) return by_number(server, default_machine, *number);
    if (auto found = by_name(server, default_machine, text)) return *found;

    std::vector<WindowTarget> found;
    if (default_machine != 0)
        if (auto t = by_name(server, 0, text)) found.push_back(*t);
    for (const Machine& m : server.machines)
        if (m.id != default_machine)
            if (auto t = by_name(server, m.id, text)) found.push_back(*t);
    if (found.size() == 1) return found[0];
    if (found.size() > 1)
        return fail("there is a " + quoted(text) + " on several machines; say which, as " + std::string(text) + "@HOST");
    return fail("no window named " + quoted(text));
}

Result<void> rename_local_window(Server& server, WindowId id, std::string_view name) {
    RUK_TRY(validate_window_name(name));
    if (name_taken(server, name, id)) return fail("name " + quoted(name) + " is already taken");
    Window* window = find_window(server, id);
    if (!window) return fail("window is gone");
    window->name = std::string(name);
    window->name_is_default = false;
    publish_windows(server);
    return {};
}

Result<void> reset_window_name(Server& server, WindowId id) {
    Window* window = find_window(server, id);
    if (!window) return fail("window is gone");
    window->name.reset();
    window->name_is_default = false;
    refresh_default_names(server);
    publish_windows(server);
    return {};
}

Result<void> move_local_window(Server& server, WindowId id, uint32_t number) {
    Window* window = find_window(server, id);
    if (!window) return fail("window is gone");
    for (auto& w : server.windows)
        if (w->id != id && w->number == number) w->number = window->number;
    window->number = number;
    std::stable_sort(server.windows.begin(), server.windows.end(),
                     [](const auto& a, const auto& b) { return a->number < b->number; });
    publish_windows(server);
    return {};
}

Result<void> swap_windows(Server& server, std::string_view first, std::optional<std::string_view> other,
                          std::optional<View> context) {
    MachineId default_machine = context ? context->machine : 0;
    WindowTarget a = RUK_TRY(resolve_window(server, first, default_machine));
    MachineId machine = a.machine();
    WindowId mover = 0;
    uint32_t to = 0;
    if (other) {
        WindowTarget b = RUK_TRY(resolve_window(server, *other, default_machine));
        if (b.machine() != machine) return between_machines(server, machine, b.machine());
        if (!a.existing() && !b.existing())
            return fail("no window " + std::string(first) + " or " + std::string(*other));
        if (a.existing()) {
            mover = a.existing()->id;
            to = b.number();
        } else {
            mover = b.existing()->id;
            to = a.number();
        }
    } else {
        if (!context) return fail("not running inside a ruk window; name both: swap-window WINDOW OTHER");
        if (!window_listed(server, context->machine, context->window)) return fail("window is gone");
        if (context->machine != machine) return between_machines(server, machine, context->machine);
        mover = context->window;
        to = a.number();
    }
    if (machine == 0) return move_local_window(server, mover, to);
    return move_remote_window(server, machine, mover, to);
}

void refresh_default_names(Server& server) {
    bool changed = false;
    for (auto& w : server.windows) {
        if (w->agent) {
            std::optional<std::string> project;
            if (w->agent->location) project = project_name(w->agent->location->root);
            std::string base = default_name_base(project, runtime_name(w->agent->runtime));
            if (!w->name) {
                w->name = unique_window_name(server, base, w->id);
                w->name_is_default = true;
                changed = true;
            } else if (w->name_is_default && !fits_base(*w->name, base)) {
                w->name = unique_window_name(server, base, w->id);
                changed = true;
            }
        } else if (w->name && w->name_is_default && !w->started_as_agent) {
            w->name.reset();
            w->name_is_default = false;
            changed = true;
        }
    }
    if (changed) publish_windows(server);
}

}  // namespace ruk
