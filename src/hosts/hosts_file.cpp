// The file is small and read whole. It is rewritten through a temporary file
// and a rename, so a crash or a full disk never leaves half a list behind.
// Lines this program cannot use are skipped, not reported: the file is also
// read by a server at start, which has nobody to tell.
#include "hosts/hosts_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hosts/host_names.h"
#include "paths.h"
#include "sys/sys.h"
#include "util/fd.h"
#include "util/utf8.h"

namespace ruk {

namespace {

constexpr std::string_view HEADER = "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]";
constexpr std::string_view NONE_CONFIGURED = "no machines configured (add one with: ruk connect HOST)";

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// The code point at `at` of UTF-8 text, and its length in bytes (never past the end).
std::pair<char32_t, size_t> decode(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = std::min<size_t>(lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2, text.size() - at);
    char32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (size_t i = 1; i < length && at + i < text.size(); ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return {cp, length};
}

// Byte offset of the first white-space character at or after `from`, or the end.
size_t find_white_space(std::string_view text, size_t from = 0) {
    for (size_t at = from; at < text.size();) {
        const auto [cp, length] = decode(text, at);
        if (is_white_space(cp)) return at;
        at += length;
    }
    return text.size();
}

std::string_view trim(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        const auto [cp, length] = decode(text, start);
        if (!is_white_space(cp)) break;
        start += length;
    }
    // The end is found walking forward: the last non-blank character ends it.
    size_t end = start;
    for (size_t at = start; at < text.size();) {
        const auto [cp, length] = decode(text, at);
        at += length;
        if (!is_white_space(cp)) end = at;
    }
    return text.substr(start, end - start);
}

std::string pad(std::string_view text, size_t width) {
    std::string out(text);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

std::string hosts_table(const std::vector<HostEntry>& entries) {
    size_t width = 4;
    for (const auto& entry : entries) width = std::max(width, entry.host.size());
    std::string out = pad("HOST", width) + "  STATUS";
    for (const auto& entry : entries) out += "\n" + pad(entry.host, width) + "  not connected (ruk is not running)";
    return out;
}

// mkdir -p; the error names the directory that was asked for.
Result<void> create_directories(const std::string& dir) {
    std::string path;
    size_t at = 0;
    while (at <= dir.size()) {
        size_t slash = dir.find('/', at);
        if (slash == std::string::npos) slash = dir.size();
        path = dir.substr(0, slash);
        at = slash + 1;
        if (path.empty() || path == ".") continue;
        if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
            return fail_errno("can't create " + dir);
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return fail_errno("can't create " + dir);
    if (!S_ISDIR(st.st_mode)) return fail_errno("can't create " + dir, ENOTDIR);
    return {};
}

Result<void> write_whole_file(const std::string& path, std::string_view text) {
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return fail_errno("can't write " + path);
    auto written = sys::write_all(fd.get(), text);
    if (written && ::fsync(fd.get()) != 0) written = fail_errno("fsync");
    if (!written) {
        const int code = written.error().code;
        ::unlink(temporary.c_str());
        return fail_errno("can't write " + path, code);
    }
    fd.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        auto error = fail_errno("can't write " + path);
        ::unlink(temporary.c_str());
        return error;
    }
    return {};
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::vector<HostEntry> parse_hosts(std::string_view text) {
    std::vector<HostEntry> entries;
    if (lenient_utf8(text) != text) return entries;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line.starts_with('#')) continue;
        const size_t cut = find_white_space(line);
        HostEntry entry;
        entry.host = std::string(line.substr(0, cut));
        if (cut < line.size()) entry.command = std::string(trim(line.substr(cut)));
        if (!valid_ssh_destination(entry.host)) continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string format_hosts(const std::vector<HostEntry>& entries) {
    std::string text = std::string(HEADER) + "\n";
    for (const auto& entry : entries) {
        text += entry.host;
        if (entry.command != "ruk") text += " " + entry.command;
        text += "\n";
    }
    return text;
}

Result<std::string> remote_command(const std::vector<std::string>& words) {
    std::string command;
    for (const auto& word : words) {
        if (std::any_of(word.begin(), word.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
            return fail("the remote command may not contain control characters");
        // The file is read only when it is valid UTF-8: one bad byte would lose every machine.
        if (lenient_utf8(word) != word) return fail("the remote command is not valid UTF-8");
        if (!command.empty()) command += ' ';
        command += word;
    }
    const std::string_view trimmed = trim(command);
    if (trimmed.empty()) return std::string("ruk");
    return std::string(trimmed);
}

std::string hosts_path() { return join_path(config_dir(), "hosts"); }

std::vector<HostEntry> read_hosts() {
    Fd fd(::open(hosts_path().c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    std::string text;
    uint8_t buffer[16384];
    while (true) {
        auto n = sys::read_some(fd.get(), buffer);
        if (!n) return {};
        if (*n == 0) break;
        text.append(reinterpret_cast<const char*>(buffer), *n);
    }
    return parse_hosts(text);
}

Result<void> write_hosts(const std::vector<HostEntry>& entries) {
    const std::string path = hosts_path();
    RUK_TRY(create_directories(directory_of(path)));
    return write_whole_file(path, format_hosts(entries));
}

Result<std::string> offline_hosts_command(const std::vector<std::string>& words) {
    if (words.size() == 1 && words[0] == "hosts") {
        const auto entries = read_hosts();
        if (entries.empty()) return std::string(NONE_CONFIGURED);
        return hosts_table(entries);
    }
    if (words.size() >= 2 && words[0] == "connect") {
        const std::string& host = words[1];
        RUK_TRY(valid_ssh_destination(host));
        auto entries = read_hosts();
        if (std::any_of(entries.begin(), entries.end(), [&](const HostEntry& e) { return e.host == host; }))
            return fail(host + " is already in " + hosts_path());
        std::string command = RUK_TRY(remote_command({words.begin() + 2, words.end()}));
        entries.push_back(HostEntry{host, std::move(command)});
        RUK_TRY(write_hosts(entries));
        return "added " + host + "; ruk will connect to it when it starts (saved in " + hosts_path() + ")";
    }
    if (words.size() == 2 && words[0] == "disconnect") {
        auto entries = read_hosts();
        const auto removed = std::erase_if(entries, [&](const HostEntry& e) { return e.host == words[1]; });
        if (removed == 0) return fail(words[1] + " is not in " + hosts_path());
        RUK_TRY(write_hosts(entries));
        return "removed " + words[1];
    }
    return fail("no server running");
}

}  // namespace ruk
