#include "hosts/host_names.h"

#include <algorithm>

namespace ruk {

namespace {

bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string short_host_name(std::string_view host) {
    if (auto at = host.rfind('@'); at != std::string_view::npos) host.remove_prefix(at + 1);
    bool address = host.starts_with('[') || host.find(':') != std::string_view::npos ||
                   std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    if (address) return std::string(host);
    auto dot = host.find('.');
    if (dot == 0) return std::string(host);
    return std::string(host.substr(0, dot));
}

Result<void> valid_ssh_destination(std::string_view text) {
    constexpr std::string_view EXTRA = "._-@:[]";
    bool ok = !text.empty() && !text.starts_with('-') &&
              std::all_of(text.begin(), text.end(),
                          [&](char c) { return is_ascii_alnum(c) || EXTRA.find(c) != std::string_view::npos; });
    if (!ok) return fail("'" + std::string(text) + "' is not a valid ssh destination");
    return {};
}

}  // namespace ruk
