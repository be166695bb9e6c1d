// Releases to update from: a directory of files served as file:// addresses
// or by a loopback HTTP server, manifests written as the publisher writes
// them, and small stand-ins for a downloaded ruk that report a build.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sys/sys.h"
#include "test_support.h"
#include "texts.h"

namespace ruk::test {

// The program that stands in for a downloaded ruk: a shell script whose
// "__build" prints the given text.
inline std::string build_reporter(const std::string& printed, int status = 0) {
    return "#!/bin/sh\nprintf '%s' '" + printed + "'\nexit " + std::to_string(status) + "\n";
}

inline std::string reporter_of(uint64_t build) { return build_reporter(std::to_string(build) + " 0 0\n"); }

// The digest as the publisher computes it, with a tool of its own.
inline std::string sha256_of_file(const std::string& path) {
    auto got = run({"sha256sum", path});
    return got.out.substr(0, 64);
}

struct AssetFile {
    std::string name;
    std::string content;
};

// A manifest of one release with one asset for this platform. The asset's
// size and digest are those of `content` unless overridden.
struct PublishedRelease {
    std::string version = "0.1.5";
    uint64_t build = BUILD_NUMBER + 1;
    std::string commit = "abc1234";
    std::string target = "x86_64-unknown-linux-gnu";
    AssetFile asset{"ruk-linux", reporter_of(BUILD_NUMBER + 1)};
    std::optional<uint64_t> size{};
    std::optional<std::string> sha256{};
};

class ReleaseDir {
public:
    const TempDir& dir() const { return m_dir; }
    std::string path(std::string_view name) const { return m_dir / name; }
    std::string file_url(std::string_view name) const { return "file://" + path(name); }

    // Writes the asset file and "latest.json"; returns the manifest's text.
    std::string publish(const PublishedRelease& published, const std::string& manifest_name = "latest.json") const {
        write_file(path(published.asset.name), published.asset.content);
        const std::string digest = published.sha256 ? *published.sha256 : sha256_of_file(path(published.asset.name));
        const uint64_t size = published.size ? *published.size : published.asset.content.size();
        std::string json = "{\"version\":\"" + published.version + "\",\"build\":" + std::to_string(published.build);
        if (!published.commit.empty()) json += ",\"commit\":\"" + published.commit + "\"";
        json += ",\"assets\":{\"" + published.target + "\":{\"name\":\"" + published.asset.name + "\",\"size\":" +
                std::to_string(size) + ",\"sha256\":\"" + digest + "\"}}}";
        write_file(path(manifest_name), json);
        return json;
    }

private:
    TempDir m_dir;
};

// A loopback HTTP server over a directory: files as they are, 404 for what
// is missing, and "/moved/X" redirected to "/X". Each request's path and user
// agent are appended to "requests.log" in the served directory. Killed by
// pid when it goes away.
class HttpServer {
public:
    explicit HttpServer(const std::string& root) : m_log(root + "/requests.log") {
        static constexpr const char* SCRIPT = R"PY(
import http.server, sys
root, log = sys.argv[1], sys.argv[2]
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=root, **kwargs)
    def do_GET(self):
        with open(log, 'a') as f:
            f.write(self.path + ' ' + str(self.headers.get('User-Agent')) + '\n')
        if self.path.startswith('/moved/'):
            self.send_response(302)
            self.send_header('Location', self.path[len('/moved'):])
            self.end_headers()
            return
        super().do_GET()
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";
        sys::ChildOptions options{.argv = {"python3", "-c", SCRIPT, root, m_log}};
        options.out = sys::Stdio::Pipe;
        auto child = sys::spawn_process(options);
        if (!child) return;
        m_pid = child->pid;
        std::string line;
        uint8_t byte = 0;
        while (line.find('\n') == std::string::npos) {
            auto n = sys::read_some(child->out.get(), std::span(&byte, 1));
            if (!n || *n == 0) break;
            line += static_cast<char>(byte);
        }
        m_port = std::atoi(line.c_str());
    }
    ~HttpServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            sys::wait_process(m_pid);
        }
    }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool started() const { return m_port > 0; }
    std::string url(std::string_view path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + std::string(path);
    }
    std::string requests() const { return read_file(m_log); }

private:
    std::string m_log;
    pid_t m_pid = 0;
    int m_port = 0;
};

// Files in a directory whose names start with the prefix.
inline std::vector<std::string> files_starting(const std::string& dir, std::string_view prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) names.push_back(name);
    }
    return names;
}

}  // namespace ruk::test
