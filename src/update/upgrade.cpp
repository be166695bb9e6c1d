#include "update/upgrade.h"

#include <variant>

#include "paths.h"
#include "protocol/messages.h"
#include "sys/sys.h"
#include "texts.h"

namespace ruk {

namespace {

constexpr auto UPGRADE_WAIT = std::chrono::seconds(10);

}  // namespace

std::optional<uint64_t> parse_decimal_u64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

ReplyText answer_upgrade(const std::vector<std::string>& args) {
    if (args.size() != 3) return {false, "usage: ruk __upgrade BUILD PATH"};
    const auto build = parse_decimal_u64(args[1]);
    if (!build) return {false, "bad build"};
    if (*build <= BUILD_NUMBER) return {true, "current"};
    return {false, "it keeps running the old ruk until it restarts (ruk kill-server ends every window)"};
}

std::optional<std::string> offer_upgrade(const std::string& executable, uint64_t build) {
    auto path = socket_path();
    if (!path) return std::nullopt;
    auto conn = sys::connect_unix(*path);
    if (!conn) return std::nullopt;
    const protocol::client::Command offer{{"__upgrade", std::to_string(build), executable}};
    if (!protocol::write_client_message(conn->get(), offer)) return std::nullopt;
    protocol::FrameReader reader(conn->get());
    auto message = protocol::read_server_message(reader);
    if (!message || !*message) return std::nullopt;
    const auto* reply = std::get_if<protocol::server::Reply>(&**message);
    if (!reply) return std::nullopt;
    if (reply->text == "upgrading") {
        // A switching server closes the connection once the new one has taken
        // over; wait for that, but not forever, even if it keeps talking.
        const auto deadline = sys::Clock::now() + UPGRADE_WAIT;
        uint8_t buffer[4096];
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - sys::Clock::now());
            if (left.count() <= 0) break;
            (void)sys::set_recv_timeout(conn->get(), left);
            auto n = sys::read_some(conn->get(), buffer);
            if (!n || *n == 0) break;
        }
    }
    return reply->text;
}

void offer_own_build() {
    auto self = sys::own_executable();
    if (!self) return;
    (void)offer_upgrade(*self, BUILD_NUMBER);
}

}  // namespace ruk
