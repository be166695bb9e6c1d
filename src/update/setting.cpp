#include "update/setting.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "paths.h"
#include "sys/sys.h"
#include "texts.h"
#include "util/white_space.h"

namespace ruk {

std::optional<std::string> update_source() {
    if (auto address = sys::env("RUK_UPDATE_URL"); address && !address->empty()) return address;
    if (!DEFAULT_UPDATE_URL.empty()) return std::string(DEFAULT_UPDATE_URL);
    return std::nullopt;
}

std::string update_setting_path() { return join_path(config_dir(), "update"); }

bool update_checks_enabled() {
    Fd fd(::open(update_setting_path().c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return true;
    std::string content;
    uint8_t buffer[256];
    // The file holds one word; anything much longer is not "off" anyway.
    while (content.size() < 4096) {
        auto n = sys::read_some(fd.get(), buffer);
        if (!n) return true;
        if (*n == 0) break;
        content.append(reinterpret_cast<const char*>(buffer), *n);
    }
    return trim_white_space(content) != "off";
}

Result<void> set_update_checks_enabled(bool on) {
    const std::string path = update_setting_path();
    if (on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail_errno("cannot remove " + path);
        return {};
    }
    std::error_code error;
    std::filesystem::create_directories(config_dir(), error);
    if (error) return fail("cannot create " + config_dir() + ": " + error.message(), error.value());
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return fail_errno("cannot write " + path);
    if (auto written = sys::write_all(fd.get(), std::string_view("off\n")); !written)
        return fail("cannot write " + path + ": " + written.error().message, written.error().code);
    return {};
}

}  // namespace ruk
