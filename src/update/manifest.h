// The release manifest: the JSON object published at the update source that
// names the newest release and, per platform, the executable to download
// with its exact size and SHA-256 digest.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "util/result.h"

namespace ruk {

// The platform this executable was built for; only its asset is ever used.
inline constexpr std::string_view TARGET_NAME = "x86_64-unknown-linux-gnu";

struct Asset {
    std::string name;  // relative to the directory of the manifest's address
    uint64_t size = 0;
    std::string sha256;  // hexadecimal, either case
    bool operator==(const Asset&) const = default;
};

struct Manifest {
    std::string version;
    uint64_t build = 0;  // a BUILD_NUMBER: newer releases have larger ones
    std::string commit;  // empty when the manifest has none
    std::map<std::string, Asset, std::less<>> assets;  // by target name
    bool operator==(const Manifest&) const = default;
};

// Keys in any order, unknown keys ignored; a missing or mistyped field, a
// number out of range or a key given twice is refused with the reader's text.
Result<Manifest> parse_manifest(std::string_view json);

// Fetches and parses the manifest at the address.
Result<Manifest> fetch_manifest(const std::string& address);

// "ruk 0.1.5 (abc1234, built 2026-11-02 09:00:00 UTC)"; without a commit,
// "ruk 0.1.5 (built ...)". Texts from the manifest are shown sanitized.
std::string release_line(const Manifest& manifest);

// The manifest's address up to its last "/", then "/" and the asset's name.
std::string asset_address(std::string_view manifest_address, std::string_view name);

}  // namespace ruk
