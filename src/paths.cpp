#include "paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sys/sys.h"

namespace ruk {

namespace {

constexpr size_t SOCKET_PATH_LIMIT = 108;  // sun_path, terminator included

std::optional<std::string> non_empty_env(const char* name) {
    auto value = sys::env(name);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

// mkdir -p, each new directory private to us.
Result<void> make_directories(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return {};
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        auto parent = make_directories(path.substr(0, slash));
        if (!parent) return parent;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return fail_errno("cannot create " + path);
    return {};
}

// The socket and the lock live here: it must be a directory of ours that no
// one else can enter.
Result<void> check_private_directory(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail_errno("cannot use " + path);
    if (S_ISLNK(st.st_mode))
        return fail(path + " is a symbolic link; remove it or set XDG_RUNTIME_DIR to a private directory");
    if (!S_ISDIR(st.st_mode)) return fail(path + " is not a directory");
    if (st.st_uid != ::geteuid())
        return fail(path + " belongs to another user (uid " + std::to_string(st.st_uid) +
                    "); set XDG_RUNTIME_DIR to a directory of your own");
    if (st.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return fail(path + " is open to other users (mode " + mode + "); run: chmod 700 " + path);
    }
    return {};
}

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
    if (base.empty()) return std::string(name);
    std::string out(base);
    if (out.back() != '/') out += '/';
    out += name;
    return out;
}

std::string config_dir() {
    if (auto xdg = non_empty_env("XDG_CONFIG_HOME")) return join_path(*xdg, "ruk");
    if (auto appdata = sys::env("APPDATA")) return join_path(*appdata, "ruk");
    // The XDG default: settings written into whatever directory the user
    // stands in would be lost the moment they move.
    if (auto home = non_empty_env("HOME")) return join_path(join_path(*home, ".config"), "ruk");
    return "ruk";
}

Result<std::string> runtime_dir() {
    std::string dir;
    if (auto xdg = non_empty_env("XDG_RUNTIME_DIR")) {
        dir = join_path(*xdg, "ruk");
    } else if (auto local = non_empty_env("LOCALAPPDATA")) {
        dir = join_path(*local, "ruk");
    } else {
        // Many sessions (su, containers, cron) have no XDG_RUNTIME_DIR; a
        // private directory in /tmp serves them.
        const std::string tmp = non_empty_env("TMPDIR").value_or("/tmp");
        dir = join_path(tmp, "ruk-" + std::to_string(::geteuid()));
    }
    auto made = make_directories(dir);
    if (!made) return std::unexpected(made.error());
    auto checked = check_private_directory(dir);
    if (!checked) return std::unexpected(checked.error());
    return dir;
}

Result<std::string> socket_path() {
    auto dir = RUK_TRY(runtime_dir());
    std::string path = join_path(dir, "default.sock");
    if (path.size() >= SOCKET_PATH_LIMIT)
        return fail(path + " is too long for a socket; set XDG_RUNTIME_DIR to a shorter directory");
    return path;
}

Result<std::string> lock_path() { return join_path(RUK_TRY(runtime_dir()), "default.lock"); }
Result<std::string> log_path() { return join_path(RUK_TRY(runtime_dir()), "server.log"); }

std::optional<std::string> find_on_path(std::string_view name) {
    auto path = sys::env("PATH");
    if (!path) return std::nullopt;
    std::string_view rest = *path;
    while (true) {
        const auto colon = rest.find(':');
        std::string_view dir = rest.substr(0, colon);
        // An empty entry means the current directory, as for the shell.
        std::string candidate = join_path(dir.empty() ? "." : dir, name);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return candidate;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

}  // namespace ruk
