// The machine's name as the server shows it and sends it to peers.
#include <unistd.h>

#include <climits>

#include "sys/sys.h"
#include "util/utf8.h"

namespace ruk::sys {
namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view SPACE = " \t\n\r\v\f";
    const size_t first = text.find_first_not_of(SPACE);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(SPACE) - first + 1);
}

}  // namespace

std::string short_machine_name(std::optional<std::string_view> raw) {
    if (!raw) return "local";
    std::string_view name = trim(*raw);
    name = trim(name.substr(0, name.find('.')));
    if (name.empty()) return "local";
    // The name travels in JSON to peers, which takes only valid UTF-8.
    return lenient_utf8(name);
}

std::string host_name() {
    char buffer[HOST_NAME_MAX + 2] = {};
    if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0')
        return short_machine_name(std::string_view(buffer));
    const auto fallback = env("COMPUTERNAME");
    if (fallback) return short_machine_name(*fallback);
    return short_machine_name(std::nullopt);
}

}  // namespace ruk::sys
