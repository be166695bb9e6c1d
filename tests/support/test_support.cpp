#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace ruk::test {

TempDir::TempDir() {
    // Short paths: sockets must stay under 108 bytes.
    char templ[] = "/tmp/ruk-t-XXXXXX";
    if (!mkdtemp(templ)) std::abort();
    m_path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    // A test may have made parts read-only; give them back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    ::chmod(m_path.c_str(), 0700);
    std::filesystem::remove_all(m_path, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : m_name(std::move(name)) {
    if (const char* old = ::getenv(m_name.c_str())) m_old = old;
    if (value)
        ::setenv(m_name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (m_old)
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::vector<std::string> environment_with(const EnvChanges& env) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('='));
        bool changed = false;
        for (const auto& [n, v] : env) changed |= (n == name);
        if (!changed) out.emplace_back(entry);
    }
    // A later change of the same name wins.
    for (size_t i = 0; i < env.size(); ++i) {
        bool overridden = false;
        for (size_t j = i + 1; j < env.size(); ++j) overridden |= env[j].first == env[i].first;
        if (env[i].second && !overridden) out.push_back(env[i].first + "=" + *env[i].second);
    }
    return out;
}

RunResult run(const std::vector<std::string>& argv, const EnvChanges& env, const std::string& input,
              std::chrono::milliseconds deadline) {
    RunResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return result;
    auto envs = environment_with(env);
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // Tests run without a terminal, as CI does: a new session has none.
        setsid();
        execvpe(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        size_t done = 0;
        while (done < input.size()) {
            ssize_t n = write(in[1], input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += n;
        }
    }
    close(in[1]);
    const auto end = std::chrono::steady_clock::now() + deadline;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buf, n);
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

RukHome::RukHome() {
    ::mkdir(xdg_runtime().c_str(), 0700);
    ::mkdir(xdg_config().c_str(), 0700);
    ::mkdir(home().c_str(), 0700);
}

RukHome::~RukHome() { kill_servers(); }

std::string RukHome::runtime_dir() const { return xdg_runtime() + "/ruk"; }
std::string RukHome::socket_path() const { return runtime_dir() + "/default.sock"; }

EnvChanges RukHome::env() const {
    return {{"XDG_RUNTIME_DIR", xdg_runtime()},
            {"XDG_CONFIG_HOME", xdg_config()},
            {"HOME", home()},
            {"RUK", std::nullopt},
            {"RUK_WINDOW", std::nullopt}};
}

RunResult RukHome::ruk(const std::vector<std::string>& args, const std::string& input, const EnvChanges& extra) const {
    std::vector<std::string> argv{RUK_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    auto changes = env();
    changes.insert(changes.end(), extra.begin(), extra.end());
    return run(argv, changes, input);
}

std::vector<pid_t> pids_with_env(const std::string& assignment) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent* d = readdir(proc)) {
        const pid_t pid = std::atoi(d->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::ifstream f("/proc/" + std::string(d->d_name) + "/environ", std::ios::binary);
        std::string entry;
        while (std::getline(f, entry, '\0')) {
            if (entry == assignment) {
                pids.push_back(pid);
                break;
            }
        }
    }
    closedir(proc);
    return pids;
}

std::vector<pid_t> RukHome::server_pids() const {
    std::vector<pid_t> servers;
    for (pid_t pid : pids_with_env("XDG_RUNTIME_DIR=" + xdg_runtime())) {
        std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::string arg;
        std::getline(f, arg, '\0');
        std::getline(f, arg, '\0');
        if (arg == "__server") servers.push_back(pid);
    }
    return servers;
}

void RukHome::kill_servers() const {
    // Everything started under this home: servers and the programs in their windows.
    const auto pids = pids_with_env("XDG_RUNTIME_DIR=" + xdg_runtime());
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    wait_for([&] {
        for (pid_t pid : pids) {
            std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            if (std::getline(f, line)) {
                const auto close = line.rfind(')');
                if (close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z') return false;
            }
        }
        return true;
    }, 10s);
}

}  // namespace ruk::test
