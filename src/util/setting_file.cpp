#include "util/setting_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "sys/sys.h"
#include "util/fd.h"
#include "util/white_space.h"

namespace ruk {

bool setting_is_off(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::string content;
    uint8_t buffer[256];
    // The file holds one word; anything much longer is not "off" anyway.
    while (content.size() < 4096) {
        auto n = sys::read_some(fd.get(), buffer);
        if (!n) return false;
        if (*n == 0) break;
        content.append(reinterpret_cast<const char*>(buffer), *n);
    }
    return trim_white_space(content) == "off";
}

Result<void> write_setting(const std::string& path, bool on) {
    if (on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail_errno("cannot remove " + path);
        return {};
    }
    const std::string dir = std::filesystem::path(path).parent_path().string();
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) return fail("cannot create " + dir + ": " + error.message(), error.value());
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return fail_errno("cannot write " + path);
    if (auto written = sys::write_all(fd.get(), std::string_view("off\n")); !written)
        return fail("cannot write " + path + ": " + written.error().message, written.error().code);
    return {};
}

}  // namespace ruk
