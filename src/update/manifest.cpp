// The manifest comes from the network: the library's exceptions are caught
// and returned, every field's JSON type and width is checked before its value
// is taken, and its texts are sanitized before anything shows them.
#include "update/manifest.h"

#include <vector>

#include "texts.h"
#include "update/curl.h"
#include "util/json_read.h"
#include "util/sanitize.h"

namespace ruk {

namespace {

using ruk::json::described;
using ruk::json::invalid_type;
using Json = ruk::json::Json;

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
    const Json root = RUK_TRY(ruk::json::parse(json));
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
