// What every test needs: temporary directories, environment changes that undo
// themselves, polling waits, running a program, and a private ruk "home" whose
// servers are killed by pid when the test ends, pass or fail.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ruk::test {

using namespace std::chrono_literals;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
    std::string m_path;
};

// Sets (or, with nullopt, removes) a variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Polls every 10 ms until the condition holds or the deadline passes.
bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 30s);

using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs a program to its end with our environment plus the changes, feeding it
// the input (standard input is closed after it).
RunResult run(const std::vector<std::string>& argv, const EnvChanges& env = {}, const std::string& input = "",
              std::chrono::milliseconds deadline = 60s);

// The environment with the changes applied, as NAME=VALUE strings.
std::vector<std::string> environment_with(const EnvChanges& env);

void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// A private runtime and config directory for a ruk server. Every server whose
// environment names this runtime directory is killed when it goes away.
class RukHome {
public:
    RukHome();
    ~RukHome();
    std::string runtime_dir() const;   // $XDG_RUNTIME_DIR/ruk
    std::string socket_path() const;
    std::string xdg_runtime() const { return m_dir / "rt"; }
    std::string xdg_config() const { return m_dir / "cfg"; }
    std::string home() const { return m_dir / "home"; }
    // XDG_RUNTIME_DIR, XDG_CONFIG_HOME, HOME; RUK and RUK_WINDOW removed.
    EnvChanges env() const;
    // Runs the built ruk with this home's environment.
    RunResult ruk(const std::vector<std::string>& args, const std::string& input = "", const EnvChanges& extra = {}) const;
    // Pids of the servers running for this home.
    std::vector<pid_t> server_pids() const;
    void kill_servers() const;
    const TempDir& dir() const { return m_dir; }

private:
    TempDir m_dir;
};

// Processes whose environment holds NAME=VALUE exactly.
std::vector<pid_t> pids_with_env(const std::string& assignment);

}  // namespace ruk::test
