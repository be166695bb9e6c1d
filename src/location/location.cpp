#include "location/location.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "util/fd.h"
#include "util/sanitize.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {
namespace {

// Repository files are a line or two. A file far bigger than that is not
// one of them, and reading it all would stall the tick.
constexpr size_t MAX_FILE = 64 * 1024;

std::string join(std::string_view dir, std::string_view name) {
    if (name.starts_with('/')) return std::string(name);
    std::string out(dir);
    if (out.empty() || !out.ends_with('/')) out += '/';
    out += name;
    return out;
}

// The directory above, or nullopt at the root (or at the top of a relative
// path).
std::optional<std::string> parent_of(std::string_view path) {
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path == "/") return std::nullopt;
    if (slash == 0) return std::string("/");
    return std::string(path.substr(0, slash));
}

std::string_view last_component(std::string_view path) {
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

enum class Kind { Missing, Directory, File };

Kind kind_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Kind::Missing;
    if (S_ISDIR(st.st_mode)) return Kind::Directory;
    if (S_ISREG(st.st_mode)) return Kind::File;
    return Kind::Missing;
}

// A small regular file's bytes. Opened without blocking and checked to be a
// regular file, so a FIFO planted as HEAD cannot hang the server.
std::optional<std::string> read_small_file(const std::string& path) {
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) return std::nullopt;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > MAX_FILE)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    while (text.size() <= MAX_FILE) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
    return std::nullopt;
}

// The "gitdir:" target of a ".git" file, as written.
std::optional<std::string> gitdir_line(std::string_view text) {
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.starts_with("gitdir:")) return std::string(trim_white_space(line.substr(7)));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return std::nullopt;
}

struct Found {
    std::string root;
    std::optional<std::string> branch;
};

// A linked work tree at `dir` whose ".git" file points at `git_dir`: its
// branch, and the main repository's directory as the root when the common
// directory is a ".git" inside one.
Found linked_work_tree(const std::string& dir, const std::string& git_dir) {
    Found found{dir, read_head(git_dir)};
    if (auto common = read_small_file(join(git_dir, "commondir"))) {
        const std::string c = normalize_path(join(git_dir, trim_white_space(*common)));
        if (last_component(c) == ".git")
            if (auto parent = parent_of(c)) found.root = *parent;
    }
    return found;
}

std::optional<Found> repository_at(const std::string& dir) {
    const std::string dot_git = join(dir, ".git");
    switch (kind_of(dot_git)) {
    case Kind::Directory: return Found{dir, read_head(dot_git)};
    case Kind::File: {
        const auto text = read_small_file(dot_git);
        if (!text) return std::nullopt;
        const auto target = gitdir_line(*text);
        if (!target) return std::nullopt;
        return linked_work_tree(dir, join(dir, *target));
    }
    case Kind::Missing: break;
    }
    return std::nullopt;
}

}  // namespace

std::string normalize_path(std::string_view path) {
    std::string base;
    if (!path.starts_with('/')) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) base = cwd;
    }
    const std::string full = base.empty() ? std::string(path) : join(base, path);
    std::vector<std::string_view> parts;
    std::string_view rest(full);
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('/'), rest.size());
        const std::string_view part = rest.substr(0, end);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    std::string out;
    for (const auto part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

std::optional<std::string> read_head(std::string_view git_dir) {
    const auto text = read_small_file(join(git_dir, "HEAD"));
    if (!text) return std::nullopt;
    const std::string head = lenient_utf8(trim_white_space(*text));
    std::string branch;
    if (head.starts_with("ref:")) {
        std::string_view ref = trim_white_space(std::string_view(head).substr(4));
        if (ref.size() > 10 && ref.starts_with("refs/heads/")) ref.remove_prefix(11);
        branch = std::string(ref);
    } else {
        // A detached HEAD: the short form of the commit id, in characters.
        size_t end = 0;
        for (int chars = 0; chars < 7 && end < head.size(); ++chars) {
            ++end;
            while (end < head.size() && (static_cast<uint8_t>(head[end]) & 0xC0) == 0x80) ++end;
        }
        branch = head.substr(0, end);
    }
    // An empty HEAD, or a ref with no name, names no branch; an empty one
    // would show as a bare pair of brackets.
    if (branch.empty()) return std::nullopt;
    return sanitize_text(branch);
}

std::optional<protocol::Location> project_location(std::string_view dir) {
    if (dir.empty()) return std::nullopt;
    std::optional<std::string> at = std::string(dir);
    while (at) {
        if (auto found = repository_at(*at)) return protocol::Location{lenient_utf8(found->root), found->branch};
        at = parent_of(*at);
    }
    return protocol::Location{lenient_utf8(dir), std::nullopt};
}

std::string project_name(std::string_view root) {
    const std::string_view last = last_component(root);
    return sanitize_text(last.empty() ? root : last);
}

}  // namespace ruk
