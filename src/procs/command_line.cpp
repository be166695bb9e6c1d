#include "procs/command_line.h"

namespace ruk {

std::vector<std::string> split_windows_command_line(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = line.size();
    auto blank = [](char c) { return c == ' ' || c == '\t'; };

    // The program name: no escapes at all, since a path cannot hold quotes.
    if (n == 0) return args;
    if (line[0] == '"') {
        const size_t close = line.find('"', 1);
        const size_t end = close == std::string_view::npos ? n : close;
        args.emplace_back(line.substr(1, end - 1));
        i = close == std::string_view::npos ? n : close + 1;
    } else {
        while (i < n && !blank(line[i])) ++i;
        args.emplace_back(line.substr(0, i));
    }

    while (true) {
        while (i < n && blank(line[i])) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            const char c = line[i];
            if (c == '\\') {
                size_t run = 0;
                while (i < n && line[i] == '\\') ++run, ++i;
                if (i < n && line[i] == '"') {
                    arg.append(run / 2, '\\');
                    if (run % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // An even run leaves the quote to switch quoting below.
                } else {
                    arg.append(run, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && blank(c)) break;
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace ruk
