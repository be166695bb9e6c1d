#include "update/update_command.h"

#include <iostream>
#include <variant>

#include "paths.h"
#include "protocol/messages.h"
#include "sys/sys.h"
#include "texts.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/setting.h"
#include "update/upgrade.h"

namespace ruk {

namespace {

constexpr std::string_view NO_SOURCE = "this build of ruk has no update source (it was built without RUK_UPDATE_URL)";

struct Found {
    std::string address;
    Manifest manifest;
};

Result<Found> find_release() {
    auto address = update_source();
    if (!address) return fail(std::string(NO_SOURCE));
    auto manifest = RUK_TRY(fetch_manifest(*address));
    return Found{std::move(*address), std::move(manifest)};
}

Result<void> install() {
    const auto [address, manifest] = RUK_TRY(find_release());
    if (manifest.build <= BUILD_NUMBER) {
        std::cout << "already up to date: " << version_line() << "\n";
        return {};
    }
    const std::string release = release_line(manifest);
    std::cout << "downloading " << release << "... " << std::flush;
    const auto download = RUK_TRY(choose_download(manifest, address));
    const auto executable = RUK_TRY(installed_executable());
    const auto installed = RUK_TRY(install_download(executable, download, manifest.build));

    std::cout << "ok\n"
              << "installed at " << executable << " (the previous ruk is kept as " << installed.kept << ")\n"
              << "  was: " << installed.was << "\n"
              << "  now: " << release << "\n";
    const auto answer = offer_upgrade(executable, manifest.build);
    if (!answer)
        std::cout << "no server running; the next `ruk` starts the new one\n";
    else if (*answer == "upgrading")
        std::cout << "the running server switched to it; every window kept\n";
    else
        std::cout << "the running server said: " << *answer << "\n";
    return {};
}

Result<void> check() {
    const auto [address, manifest] = RUK_TRY(find_release());
    std::cout << "this is " << version_line() << "\n";
    if (manifest.build <= BUILD_NUMBER) {
        std::cout << "up to date (latest is " << release_line(manifest) << ")\n";
    } else {
        std::cout << "available: " << release_line(manifest) << " from " << address << "\n"
                  << "run `ruk update` to install it\n";
    }
    return {};
}

Result<void> switch_checks(bool on) {
    RUK_TRY(set_update_checks_enabled(on));
    std::cout << "automatic update checks are " << (on ? "on" : "off") << "\n";
    return {};
}

// The running server's version line, or why there is none.
std::string server_version() {
    const std::string not_running = "not running";
    auto path = socket_path();
    if (!path) return not_running;
    auto conn = sys::connect_unix(*path);
    if (!conn) return not_running;
    if (!protocol::write_client_message(conn->get(), protocol::client::Command{{"version"}})) return not_running;
    protocol::FrameReader reader(conn->get());
    auto message = protocol::read_server_message(reader);
    if (!message || !*message) return not_running;
    const auto* reply = std::get_if<protocol::server::Reply>(&**message);
    if (reply && reply->ok) return reply->text;
    // What a server from before the upgrade request answers to "version".
    return "an older ruk, from before upgrades in place";
}

}  // namespace

Result<void> run_update_command(const std::vector<std::string>& args) {
    if (args.empty()) return install();
    if (args.size() == 1 && args[0] == "check") return check();
    if (args.size() == 1 && args[0] == "on") return switch_checks(true);
    if (args.size() == 1 && args[0] == "off") return switch_checks(false);
    return fail("usage: ruk update [check|on|off]");
}

void report_versions() {
    std::cout << "client: " << version_line() << "\n" << std::flush;
    offer_own_build();
    std::cout << "server: " << server_version() << "\n";
}

}  // namespace ruk
