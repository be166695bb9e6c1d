// Process inspection from /proc. Any process may end between two reads, and
// some belong to other users: every failure means "no answer for this
// process", never an error of the caller's whole pass.
//
// Paths (executable, current directory) are returned as the kernel's bytes:
// callers enter those directories and read files there, which a path with
// replaced bytes would break. Whoever shows one converts it for display.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "sys/sys.h"
#include "util/utf8.h"

namespace ruk::sys {
namespace {

std::string proc_path(pid_t pid, const char* entry) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), entry);
    return path;
}

std::optional<std::string> read_whole(const std::string& path) {
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    std::string text;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

template <typename T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

struct StatFields {
    pid_t parent = 0;
    uint64_t start_time = 0;
};

// /proc/PID/stat: "pid (comm) state ppid ... starttime ...". The command name
// may hold spaces and parentheses, so the fields are counted after the last
// ")": there the state is field 3, the parent 4 and the start time 22.
std::optional<StatFields> read_stat(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    const auto text = read_whole(proc_path(pid, "stat"));
    if (!text) return std::nullopt;
    const size_t close = text->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*text).substr(close + 1);
    std::optional<pid_t> parent;
    std::optional<uint64_t> start;
    for (int field = 3; field <= 22 && !rest.empty(); ++field) {
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        const size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view value = rest.substr(0, end);
        if (field == 4) parent = parse_number<pid_t>(value);
        if (field == 22) start = parse_number<uint64_t>(value);
        rest.remove_prefix(end);
    }
    if (!parent || !start) return std::nullopt;
    return StatFields{*parent, *start};
}

std::optional<std::string> read_link(const std::string& path) {
    std::string target(256, '\0');
    while (true) {
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            break;
        }
        if (target.size() >= (1u << 20)) return std::nullopt;
        target.resize(target.size() * 2);
    }
    // The kernel marks a removed file or directory with this suffix; the
    // path without it is where a replacement would be (an upgraded
    // executable). A name that really ends so is kept.
    static constexpr std::string_view DELETED = " (deleted)";
    struct stat info;
    if (target.ends_with(DELETED) && ::lstat(target.c_str(), &info) != 0)
        target.resize(target.size() - DELETED.size());
    return target;
}

bool all_digits(const char* name) {
    if (!*name) return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

}  // namespace

std::vector<ProcessEntry> process_snapshot() {
    std::vector<ProcessEntry> entries;
    DIR* proc = ::opendir("/proc");
    if (!proc) return entries;
    while (const dirent* entry = ::readdir(proc)) {
        if (!all_digits(entry->d_name)) continue;
        const auto pid = parse_number<pid_t>(entry->d_name);
        if (!pid) continue;
        if (const auto stat = read_stat(*pid)) entries.push_back({*pid, stat->parent});
    }
    ::closedir(proc);
    return entries;
}

std::vector<pid_t> process_children(pid_t pid) {
    std::vector<pid_t> children;
    if (pid <= 0) return children;
    DIR* tasks = ::opendir(proc_path(pid, "task").c_str());
    if (!tasks) return children;
    bool listed = false;
    while (const dirent* entry = ::readdir(tasks)) {
        if (!all_digits(entry->d_name)) continue;
        const auto list = read_whole(proc_path(pid, "task/") + entry->d_name + "/children");
        if (!list) continue;
        listed = true;
        std::string_view rest(*list);
        while (!rest.empty()) {
            const size_t end = std::min(rest.find(' '), rest.size());
            if (const auto child = parse_number<pid_t>(rest.substr(0, end))) children.push_back(*child);
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    ::closedir(tasks);
    if (!listed) {
        // A kernel without the children lists: look at every process.
        for (const auto& entry : process_snapshot())
            if (entry.parent == pid) children.push_back(entry.pid);
    }
    return children;
}

std::optional<uint64_t> process_start_time(pid_t pid) {
    const auto stat = read_stat(pid);
    if (!stat) return std::nullopt;
    return stat->start_time;
}

std::optional<pid_t> process_parent(pid_t pid) {
    const auto stat = read_stat(pid);
    if (!stat) return std::nullopt;
    return stat->parent;
}

std::optional<std::string> process_executable(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    return read_link(proc_path(pid, "exe"));
}

std::optional<std::vector<std::string>> process_command_line(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    const auto text = read_whole(proc_path(pid, "cmdline"));
    if (!text) return std::nullopt;
    std::vector<std::string> arguments;
    std::string_view rest(*text);
    // Every argument ends with a NUL; a program that rewrote its command line
    // may leave the last one without.
    if (rest.ends_with('\0')) rest.remove_suffix(1);
    if (text->empty()) return arguments;
    while (true) {
        const size_t end = rest.find('\0');
        arguments.push_back(lenient_utf8(rest.substr(0, end)));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return arguments;
}

std::optional<std::string> process_cwd(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    return read_link(proc_path(pid, "cwd"));
}

}  // namespace ruk::sys
