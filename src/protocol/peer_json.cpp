// Written with an insertion-ordered JSON object so the keys come out in the
// order the protocol fixes; read from a plain parsed tree. Duplicate keys are
// caught while parsing (the tree keeps only one of them), everything else by
// the readers below, which check each field's JSON type and width before the
// value is taken. The library reports its own faults by exception; they are
// caught here and returned as errors like every other refusal.
#include "protocol/peer_json.h"

#include <limits>
#include <span>

#include "util/json_read.h"
#include "util/overload.h"

namespace ruk::protocol {

namespace {

using ruk::json::described;
using ruk::json::invalid_type;
using ruk::json::library_message;
using ruk::json::parse;
using Json = ruk::json::Json;
using Ordered = nlohmann::ordered_json;

template <class T>
void put_or_null(Ordered& j, const char* key, const std::optional<T>& value) {
    if (value)
        j[key] = *value;
    else
        j[key] = nullptr;
}

// "omitted when absent".
template <class T>
void put_if_present(Ordered& j, const char* key, const std::optional<T>& value) {
    if (value) j[key] = *value;
}

Ordered new_object(std::string_view type) {
    Ordered j = Ordered::object();
    j["type"] = type;
    return j;
}

Ordered location_json(const Location& location) {
    Ordered j = Ordered::object();
    j["root"] = location.root;
    put_or_null(j, "branch", location.branch);
    return j;
}

Ordered agent_json(const AgentInfo& agent) {
    Ordered j = Ordered::object();
    j["kind"] = agent.kind;
    j["state"] = agent.state;
    j["location"] = agent.location ? location_json(*agent.location) : Ordered(nullptr);
    j["queued"] = agent.queued;
    j["overdue"] = agent.overdue;
    return j;
}

Ordered window_json(const WindowInfo& window) {
    Ordered j = Ordered::object();
    j["id"] = window.id;
    j["index"] = window.index;
    put_or_null(j, "name", window.name);
    j["process"] = window.process;
    j["agent"] = window.agent ? agent_json(*window.agent) : Ordered(nullptr);
    return j;
}

Ordered new_agent_json(const NewAgent& agent) {
    Ordered j = Ordered::object();
    j["runtime"] = agent.runtime;
    j["args"] = agent.args;
    put_or_null(j, "name", agent.name);
    put_or_null(j, "dir", agent.dir);
    return j;
}

Ordered request_json(const PeerRequest& request) {
    return std::visit(
        Overload{
            [](const peer_request::Hello& r) {
                Ordered j = new_object("hello");
                j["version"] = r.version;
                return j;
            },
            [](const peer_request::View& r) {
                Ordered j = new_object("view");
                put_or_null(j, "window", r.window);
                j["rows"] = r.rows;
                j["cols"] = r.cols;
                return j;
            },
            [](const peer_request::NewWindow& r) {
                Ordered j = new_object("new_window");
                put_or_null(j, "near", r.near);
                j["rows"] = r.rows;
                j["cols"] = r.cols;
                if (r.agent) j["agent"] = new_agent_json(*r.agent);
                put_if_present(j, "request", r.request);
                return j;
            },
            [](const peer_request::Rename& r) {
                Ordered j = new_object("rename");
                j["window"] = r.window;
                put_or_null(j, "name", r.name);
                return j;
            },
            [](const peer_request::MoveWindow& r) {
                Ordered j = new_object("move_window");
                j["window"] = r.window;
                j["index"] = r.index;
                return j;
            },
        },
        request);
}

Ordered event_json(const PeerEvent& event) {
    return std::visit(
        Overload{
            [](const peer_event::Welcome& e) {
                Ordered j = new_object("welcome");
                j["version"] = e.version;
                j["instance"] = e.instance;
                j["features"] = e.features;
                j["build"] = e.build;
                j["release"] = e.release;
                return j;
            },
            [](const peer_event::Windows& e) {
                Ordered j = new_object("windows");
                Ordered list = Ordered::array();
                for (const auto& window : e.windows) list.push_back(window_json(window));
                j["windows"] = std::move(list);
                return j;
            },
            [](const peer_event::Created& e) {
                Ordered j = new_object("created");
                j["window"] = e.window;
                put_if_present(j, "request", e.request);
                put_if_present(j, "name", e.name);
                return j;
            },
            [](const peer_event::Error& e) {
                Ordered j = new_object("error");
                j["message"] = e.message;
                put_if_present(j, "request", e.request);
                return j;
            },
        },
        event);
}

Result<std::string> dump(const Ordered& j, InvalidText invalid) {
    try {
        return j.dump(-1, ' ', false,
                      invalid == InvalidText::Replace ? Ordered::error_handler_t::replace
                                                      : Ordered::error_handler_t::strict);
    } catch (const Ordered::exception& e) {
        return fail(library_message(e));
    }
}

// ---- reading ------------------------------------------------------------------

template <class T>
struct As {};

template <class T>
Result<T> read_unsigned(const Json& value, std::string_view key, std::string_view width) {
    if (!value.is_number_unsigned()) return invalid_type(value, key, width);
    const uint64_t n = value.get<uint64_t>();
    if (n > std::numeric_limits<T>::max())
        return fail("invalid value for `" + std::string(key) + "`: integer `" + std::to_string(n) + "`, expected " +
                    std::string(width));
    return static_cast<T>(n);
}

Result<uint16_t> read(const Json& v, std::string_view key, As<uint16_t>) { return read_unsigned<uint16_t>(v, key, "u16"); }
Result<uint32_t> read(const Json& v, std::string_view key, As<uint32_t>) { return read_unsigned<uint32_t>(v, key, "u32"); }
Result<uint64_t> read(const Json& v, std::string_view key, As<uint64_t>) { return read_unsigned<uint64_t>(v, key, "u64"); }

Result<bool> read(const Json& v, std::string_view key, As<bool>) {
    if (!v.is_boolean()) return invalid_type(v, key, "a boolean");
    return v.get<bool>();
}

Result<std::string> read(const Json& v, std::string_view key, As<std::string>) {
    if (!v.is_string()) return invalid_type(v, key, "a string");
    return v.get<std::string>();
}

Result<std::vector<std::string>> read(const Json& v, std::string_view key, As<std::vector<std::string>>) {
    if (!v.is_array()) return invalid_type(v, key, "a sequence");
    std::vector<std::string> out;
    out.reserve(v.size());
    for (const auto& item : v) out.push_back(RUK_TRY(read(item, key, As<std::string>{})));
    return out;
}

// One JSON object and the presence rules of its keys.
class Fields {
public:
    explicit Fields(const Json& object) : m_object(object) {}

    // Required: a missing key is refused.
    template <class T>
    Result<T> required(const char* key) const {
        auto it = m_object.find(key);
        if (it == m_object.end()) return fail("missing field `" + std::string(key) + "`");
        return read(*it, key, As<T>{});
    }

    // Null when absent, or omitted when absent: a missing key and null both
    // mean no value.
    template <class T>
    Result<std::optional<T>> optional(const char* key) const {
        auto it = m_object.find(key);
        if (it == m_object.end() || it->is_null()) return std::optional<T>();
        return std::optional<T>(RUK_TRY(read(*it, key, As<T>{})));
    }

    // Default: a missing key takes the default; null is a value of the wrong type.
    template <class T>
    Result<T> or_default(const char* key, T fallback) const {
        auto it = m_object.find(key);
        if (it == m_object.end()) return fallback;
        return read(*it, key, As<T>{});
    }

private:
    const Json& m_object;
};

Result<Location> read(const Json& v, std::string_view key, As<Location>) {
    if (!v.is_object()) return invalid_type(v, key, "a Location");
    const Fields f(v);
    Location location;
    location.root = RUK_TRY(f.required<std::string>("root"));
    location.branch = RUK_TRY(f.optional<std::string>("branch"));
    return location;
}

Result<AgentInfo> read(const Json& v, std::string_view key, As<AgentInfo>) {
    if (!v.is_object()) return invalid_type(v, key, "an AgentInfo");
    const Fields f(v);
    AgentInfo agent;
    agent.kind = RUK_TRY(f.required<std::string>("kind"));
    agent.state = RUK_TRY(f.required<std::string>("state"));
    agent.location = RUK_TRY(f.optional<Location>("location"));
    agent.queued = RUK_TRY(f.required<uint64_t>("queued"));
    agent.overdue = RUK_TRY(f.or_default<bool>("overdue", false));
    return agent;
}

Result<WindowInfo> read(const Json& v, std::string_view key, As<WindowInfo>) {
    if (!v.is_object()) return invalid_type(v, key, "a WindowInfo");
    const Fields f(v);
    WindowInfo window;
    window.id = RUK_TRY(f.required<uint32_t>("id"));
    window.index = RUK_TRY(f.required<uint32_t>("index"));
    window.name = RUK_TRY(f.optional<std::string>("name"));
    window.process = RUK_TRY(f.required<std::string>("process"));
    window.agent = RUK_TRY(f.optional<AgentInfo>("agent"));
    return window;
}

Result<std::vector<WindowInfo>> read(const Json& v, std::string_view key, As<std::vector<WindowInfo>>) {
    if (!v.is_array()) return invalid_type(v, key, "a sequence");
    std::vector<WindowInfo> out;
    out.reserve(v.size());
    for (const auto& item : v) out.push_back(RUK_TRY(read(item, key, As<WindowInfo>{})));
    return out;
}

Result<NewAgent> read(const Json& v, std::string_view key, As<NewAgent>) {
    if (!v.is_object()) return invalid_type(v, key, "a NewAgent");
    const Fields f(v);
    NewAgent agent;
    agent.runtime = RUK_TRY(f.required<std::string>("runtime"));
    agent.args = RUK_TRY(f.or_default<std::vector<std::string>>("args", {}));
    agent.name = RUK_TRY(f.optional<std::string>("name"));
    agent.dir = RUK_TRY(f.optional<std::string>("dir"));
    return agent;
}

std::string expected_names(std::span<const std::string_view> names) {
    std::string out = "one of ";
    bool first = true;
    for (auto name : names) {
        if (!first) out += ", ";
        out += '`';
        out += name;
        out += '`';
        first = false;
    }
    return out;
}

Result<std::string> variant_of(const Json& root, std::string_view expected) {
    if (!root.is_object()) return fail("invalid type: " + described(root) + ", expected " + std::string(expected));
    auto it = root.find("type");
    if (it == root.end()) return fail("missing field `type`");
    return read(*it, "type", As<std::string>{});
}

constexpr std::string_view REQUEST_NAMES[] = {"hello", "view", "new_window", "rename", "move_window"};
constexpr std::string_view EVENT_NAMES[] = {"welcome", "windows", "created", "error"};

}  // namespace

Result<std::string> encode_peer_request(const PeerRequest& request, InvalidText invalid) {
    return dump(request_json(request), invalid);
}

Result<std::string> encode_peer_event(const PeerEvent& event, InvalidText invalid) {
    return dump(event_json(event), invalid);
}

Result<PeerRequest> decode_peer_request(std::string_view text) {
    const Json root = RUK_TRY(parse(text));
    const std::string type = RUK_TRY(variant_of(root, "a PeerRequest object"));
    const Fields f(root);
    if (type == "hello") return peer_request::Hello{RUK_TRY(f.required<uint32_t>("version"))};
    if (type == "view") {
        peer_request::View r;
        r.window = RUK_TRY(f.optional<uint32_t>("window"));
        r.rows = RUK_TRY(f.required<uint16_t>("rows"));
        r.cols = RUK_TRY(f.required<uint16_t>("cols"));
        return r;
    }
    if (type == "new_window") {
        peer_request::NewWindow r;
        r.near = RUK_TRY(f.optional<uint32_t>("near"));
        r.rows = RUK_TRY(f.required<uint16_t>("rows"));
        r.cols = RUK_TRY(f.required<uint16_t>("cols"));
        r.agent = RUK_TRY(f.optional<NewAgent>("agent"));
        r.request = RUK_TRY(f.optional<uint64_t>("request"));
        return r;
    }
    if (type == "rename") {
        peer_request::Rename r;
        r.window = RUK_TRY(f.required<uint32_t>("window"));
        r.name = RUK_TRY(f.optional<std::string>("name"));
        return r;
    }
    if (type == "move_window") {
        peer_request::MoveWindow r;
        r.window = RUK_TRY(f.required<uint32_t>("window"));
        r.index = RUK_TRY(f.required<uint32_t>("index"));
        return r;
    }
    return fail("unknown variant `" + type + "`, expected " + expected_names(REQUEST_NAMES));
}

Result<PeerEvent> decode_peer_event(std::string_view text) {
    const Json root = RUK_TRY(parse(text));
    const std::string type = RUK_TRY(variant_of(root, "a PeerEvent object"));
    const Fields f(root);
    if (type == "welcome") {
        peer_event::Welcome e;
        e.version = RUK_TRY(f.required<uint32_t>("version"));
        e.instance = RUK_TRY(f.or_default<std::string>("instance", ""));
        e.features = RUK_TRY(f.or_default<std::vector<std::string>>("features", {}));
        e.build = RUK_TRY(f.or_default<uint64_t>("build", 0));
        e.release = RUK_TRY(f.or_default<std::string>("release", ""));
        return e;
    }
    if (type == "windows") return peer_event::Windows{RUK_TRY(f.required<std::vector<WindowInfo>>("windows"))};
    if (type == "created") {
        peer_event::Created e;
        e.window = RUK_TRY(f.required<uint32_t>("window"));
        e.request = RUK_TRY(f.optional<uint64_t>("request"));
        e.name = RUK_TRY(f.optional<std::string>("name"));
        return e;
    }
    if (type == "error") {
        peer_event::Error e;
        e.message = RUK_TRY(f.required<std::string>("message"));
        e.request = RUK_TRY(f.optional<uint64_t>("request"));
        return e;
    }
    return fail("unknown variant `" + type + "`, expected " + expected_names(EVENT_NAMES));
}

}  // namespace ruk::protocol
