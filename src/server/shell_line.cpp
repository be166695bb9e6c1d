// Shell choice, command lines, quoting and the child's environment. Nothing
// here starts a process; the cmd and PowerShell forms are kept so that the
// same rules hold wherever the server runs, though only the POSIX form is
// executed on this platform (as an argument vector, see shell_argv).
#include "server/shell_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "paths.h"
#include "sys/sys.h"

extern char** environ;

namespace ruk {

namespace {

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), ascii_upper);
    return out;
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Bytes of 0x80 and above are never in `safe`, so any non-ASCII character
// forces quoting.
bool stays_bare(std::string_view text, std::string_view safe) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return is_ascii_alnum(c) || safe.find(c) != std::string_view::npos; });
}

// PowerShell ends a single-quoted string at any of these, not only at "'":
// the ASCII quote and the curly ones U+2018 to U+201B (UTF-8 E2 80 98..9B).
// Inside the string, any of them doubled stands for itself.
size_t powershell_quote_length(std::string_view text, size_t at) {
    if (text[at] == '\'') return 1;
    if (at + 2 < text.size() && static_cast<unsigned char>(text[at]) == 0xE2 &&
        static_cast<unsigned char>(text[at + 1]) == 0x80) {
        const auto third = static_cast<unsigned char>(text[at + 2]);
        if (third >= 0x98 && third <= 0x9B) return 3;
    }
    return 0;
}

std::string join(const std::vector<std::string>& args, std::string (*quote)(std::string_view)) {
    std::string out;
    for (const auto& arg : args) {
        if (!out.empty()) out += ' ';
        out += quote(arg);
    }
    return out;
}

// "J; exec P -l": the agent, then the user's login shell in its place.
std::string posix_agent_script(std::string_view shell, const std::vector<std::string>& args) {
    return join(args, quote_posix_arg) + "; exec " + quote_posix_arg(shell) + " -l";
}

// Variables we set or remove ourselves. Any spelling of these names is
// dropped from what we inherit, so the child sees exactly one TERM, RUK and
// RUK_WINDOW and no COLUMNS or LINES; other names keep their case and stay
// distinct, since two names that differ only in case are two variables here.
constexpr std::array<std::string_view, 5> MANAGED_NAMES = {"COLUMNS", "LINES", "TERM", "RUK", "RUK_WINDOW"};

}  // namespace

ShellKind shell_kind(std::string_view shell_path) {
    const auto slash = shell_path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? shell_path : shell_path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return ShellKind::Posix;
    // A leading dot starts a name, not an extension (".bashrc" is all stem).
    const auto dot = name.find_last_of('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    std::string stem(name);
    std::transform(stem.begin(), stem.end(), stem.begin(), ascii_lower);
    if (stem == "cmd") return ShellKind::Cmd;
    if (stem == "powershell" || stem == "pwsh") return ShellKind::PowerShell;
    return ShellKind::Posix;
}

std::string choose_shell() {
    if (auto shell = sys::env("SHELL"); shell && is_regular_file(*shell)) return *shell;
    if (auto found = find_on_path("pwsh.exe")) return *found;
    if (auto found = find_on_path("powershell.exe")) return *found;
    if (auto comspec = sys::env("COMSPEC"); comspec && !comspec->empty()) return *comspec;
    // Without SHELL a Unix machine still has a POSIX shell here; cmd.exe
    // would only make every window fail to start.
    if (is_regular_file("/bin/sh")) return "/bin/sh";
    return "cmd.exe";
}

std::string quote_windows_arg(std::string_view text) {
    if (!text.empty() && text.find_first_of(" \t\"") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only before a double quote.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    // The closing quote follows, so a final run is doubled.
    out.append(2 * backslashes, '\\');
    out += '"';
    return out;
}

std::string quote_powershell_arg(std::string_view text) {
    if (stays_bare(text, "-_./:@%+,\\")) return std::string(text);
    std::string out = "'";
    for (size_t i = 0; i < text.size();) {
        if (const size_t quote = powershell_quote_length(text, i)) {
            out.append(text.substr(i, quote));
            out.append(text.substr(i, quote));
            i += quote;
        } else {
            out += text[i++];
        }
    }
    out += '\'';
    return out;
}

std::string quote_posix_arg(std::string_view text) {
    if (stays_bare(text, "-_./=:@%+,")) return std::string(text);
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

std::string build_command_line(std::string_view shell, const std::vector<std::string>& args) {
    const std::string s = quote_windows_arg(shell);
    switch (shell_kind(shell)) {
        case ShellKind::PowerShell:
            if (args.empty()) return s + " -NoLogo";
            return s + " -NoLogo -NoExit -Command " + quote_windows_arg("& " + join(args, quote_powershell_arg));
        case ShellKind::Cmd:
            if (args.empty()) return s;
            return s + " /s /k \"" + join(args, quote_windows_arg) + "\"";
        case ShellKind::Posix:
            if (args.empty()) return s + " -l";
            return s + " -l -i -c " + quote_windows_arg(posix_agent_script(shell, args));
    }
    return s;
}

std::vector<std::string> shell_argv(std::string_view shell, const std::vector<std::string>& args) {
    // No command line is split here: the words go to exec as they are, so
    // only the inner script needs the shell's own quoting.
    if (args.empty()) return {std::string(shell), "-l"};
    return {std::string(shell), "-l", "-i", "-c", posix_agent_script(shell, args)};
}

std::vector<std::string> child_environment(std::string_view socket_path, uint32_t window_number) {
    struct Variable {
        std::string key;    // upper-cased name, the order
        std::string entry;  // NAME=VALUE as found
    };
    std::vector<Variable> vars;
    std::set<std::string_view, std::less<>> names;
    for (char** at = environ; at && *at; ++at) {
        std::string_view entry = *at;
        // From the second byte: a name never starts with "=", though some
        // systems keep entries like "=C:=C:\" whose name does.
        const auto equals = entry.find('=', 1);
        if (equals == std::string_view::npos) continue;
        const std::string_view name = entry.substr(0, equals);
        // A name listed twice: the first is the one getenv reads, so it wins.
        if (!names.insert(name).second) continue;
        std::string key = upper(name);
        if (std::find(MANAGED_NAMES.begin(), MANAGED_NAMES.end(), key) != MANAGED_NAMES.end()) continue;
        vars.push_back({std::move(key), std::string(entry)});
    }
    vars.push_back({"TERM", "TERM=xterm-256color"});
    vars.push_back({"RUK", "RUK=" + std::string(socket_path)});
    vars.push_back({"RUK_WINDOW", "RUK_WINDOW=" + std::to_string(window_number)});
    // Names equal but for case keep the order in which we found them.
    std::stable_sort(vars.begin(), vars.end(), [](const Variable& a, const Variable& b) { return a.key < b.key; });
    std::vector<std::string> out;
    out.reserve(vars.size());
    for (auto& var : vars) out.push_back(std::move(var.entry));
    return out;
}

}  // namespace ruk
