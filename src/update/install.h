// Installing a release beside the running executable: download it to a
// temporary file in the same directory, check its length, its SHA-256 and the
// build it reports, then move the old executable aside as "ruk.old" and the
// new one into its place. Until the old one is moved aside nothing of the
// installation changes, and the temporary file never outlives a failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "update/manifest.h"
#include "util/result.h"

namespace ruk {

// 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

// The asset of this platform and where to download it from.
struct Download {
    Asset asset;
    std::string address;
};
Result<Download> choose_download(const Manifest& manifest, const std::string& manifest_address);

// The running executable's canonical path.
Result<std::string> installed_executable();

struct Installed {
    std::string kept;  // where the previous executable now is
    std::string was;   // the version line of the program that was replaced
};

// Downloads, verifies and installs over `executable`, which keeps its mode.
Result<Installed> install_download(const std::string& executable, const Download& download, uint64_t build);

// Moves the executable to `kept` (replacing an older kept copy) and the
// download to the executable's path; puts the old one back when that fails.
Result<void> install_release(const std::string& executable, const std::string& kept, const std::string& download);

}  // namespace ruk
