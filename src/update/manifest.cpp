// The manifest comes from the network: the library's exceptions are caught
// and returned, every field's JSON type and width is checked before its value
// is taken, and its texts are sanitized before anything shows them.
#include "update/manifest.h"

#include <nlohmann/json.hpp>

#include <set>
#include <vector>

#include "texts.h"
#include "update/curl.h"
#include "util/sanitize.h"

namespace ruk {

namespace {

using Json = nlohmann::json;

// The library's messages start with "[json.exception.parse_error.101] ".
std::string library_message(const std::exception& e) {
    std::string text = e.what();
    if (text.starts_with('[')) {
        if (auto end = text.find("] "); end != std::string::npos) text.erase(0, end + 2);
    }
    return text;
}

// The tree keeps only one of two equal keys; the parse is watched so that a
// manifest with a key twice is refused instead of read either way.
Result<Json> parse_json(std::string_view text) {
    std::vector<std::set<std::string>> open;
    std::optional<std::string> duplicate;
    auto watch = [&](int, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) open.emplace_back();
        if (event == Json::parse_event_t::object_end && !open.empty()) open.pop_back();
        if (event == Json::parse_event_t::key && !open.empty() && parsed.is_string()) {
            if (!open.back().insert(parsed.get<std::string>()).second && !duplicate) duplicate = parsed.get<std::string>();
        }
        return true;
    };
    try {
        Json root = Json::parse(text.begin(), text.end(), watch);
        if (duplicate) return fail("duplicate field `" + *duplicate + "`");
        return root;
    } catch (const Json::exception& e) {
        return fail(library_message(e));
    }
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
    return fail("invalid type for `" + std::string(key) + "`: " + described(value) + ", expected " + std::string(expected));
}

Result<const Json*> field(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return fail("missing field `" + std::string(key) + "`");
    return &*it;
}

Result<std::string> string_field(const Json& object, const char* key) {
    const Json* value = RUK_TRY(field(object, key));
    if (!value->is_string()) return invalid_type(*value, key, "a string");
    return value->get<std::string>();
}

// A float such as 1e3 or a negative number is no build number; the library
// stores integers beyond 64 bits as floats, so those are refused too.
Result<uint64_t> unsigned_field(const Json& object, const char* key) {
    const Json* value = RUK_TRY(field(object, key));
    if (!value->is_number_unsigned()) return invalid_type(*value, key, "u64");
    return value->get<uint64_t>();
}

Result<Asset> read_asset(const Json& value, const std::string& target) {
    if (!value.is_object()) return invalid_type(value, target, "an Asset");
    Asset asset;
    asset.name = RUK_TRY(string_field(value, "name"));
    asset.size = RUK_TRY(unsigned_field(value, "size"));
    asset.sha256 = RUK_TRY(string_field(value, "sha256"));
    return asset;
}

}  // namespace

Result<Manifest> parse_manifest(std::string_view json) {
    const Json root = RUK_TRY(parse_json(json));
    if (!root.is_object()) return fail("invalid type: " + described(root) + ", expected a Manifest");
    Manifest manifest;
    manifest.version = RUK_TRY(string_field(root, "version"));
    manifest.build = RUK_TRY(unsigned_field(root, "build"));
    if (root.contains("commit")) manifest.commit = RUK_TRY(string_field(root, "commit"));
    const Json* assets = RUK_TRY(field(root, "assets"));
    if (!assets->is_object()) return invalid_type(*assets, "assets", "a map");
    for (const auto& [target, value] : assets->items()) manifest.assets.emplace(target, RUK_TRY(read_asset(value, target)));
    return manifest;
}

Result<Manifest> fetch_manifest(const std::string& address) {
    auto body = run_curl({address});
    if (!body) return fail("can't fetch " + address + ": " + body.error().message, body.error().code);
    auto manifest = parse_manifest(*body);
    if (!manifest) return fail(address + " isn't a ruk manifest: " + manifest.error().message);
    return manifest;
}

std::string release_line(const Manifest& manifest) {
    const std::string commit = manifest.commit.empty() ? "" : sanitize_text(manifest.commit) + ", ";
    return "ruk " + sanitize_text(manifest.version) + " (" + commit + "built " + build_time_text(manifest.build) + " UTC)";
}

std::string asset_address(std::string_view manifest_address, std::string_view name) {
    const size_t slash = manifest_address.rfind('/');
    const std::string_view directory = slash == std::string_view::npos ? "" : manifest_address.substr(0, slash);
    return std::string(directory) + "/" + std::string(name);
}

}  // namespace ruk
