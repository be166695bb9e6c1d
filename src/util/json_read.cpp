#include "util/json_read.h"

#include <optional>
#include <set>
#include <vector>

namespace ruk::json {

std::string library_message(const std::exception& e) {
    std::string text = e.what();
    if (text.starts_with('[')) {
        if (auto end = text.find("] "); end != std::string::npos) text.erase(0, end + 2);
    }
    return text;
}

Result<Json> parse(std::string_view text) {
    // The tree would keep only one of two equal keys: the parse is watched.
    std::vector<std::set<std::string>> open;
    std::optional<std::string> duplicate;
    auto watch = [&](int, Json::parse_event_t event, Json& parsed) {
        switch (event) {
        case Json::parse_event_t::object_start: open.emplace_back(); break;
        case Json::parse_event_t::object_end:
            if (!open.empty()) open.pop_back();
            break;
        case Json::parse_event_t::key:
            if (!open.empty() && parsed.is_string()) {
                const auto& key = parsed.get_ref<const std::string&>();
                if (!open.back().insert(key).second && !duplicate) duplicate = key;
            }
            break;
        default: break;
        }
        return true;
    };
    Json root;
    try {
        root = Json::parse(text.begin(), text.end(), watch);
    } catch (const Json::exception& e) {
        return fail(library_message(e));
    }
    if (duplicate) return fail("duplicate field `" + *duplicate + "`");
    return root;
}

std::string described(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "boolean `" + value.dump() + "`";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "integer `" + value.dump() + "`";
    case Json::value_t::number_float: return "floating point `" + value.dump() + "`";
    case Json::value_t::string: return "string " + value.dump(-1, ' ', false, Json::error_handler_t::replace);
    case Json::value_t::array: return "sequence";
    case Json::value_t::object: return "map";
    default: return "value";
    }
}

std::unexpected<Error> invalid_type(const Json& value, std::string_view key, std::string_view expected) {
    return fail("invalid type for `" + std::string(key) + "`: " + described(value) + ", expected " +
                std::string(expected));
}

}  // namespace ruk::json
