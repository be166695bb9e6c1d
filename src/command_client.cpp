#include "command_client.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <variant>

#include "hosts/hosts_file.h"
#include "notify/notify.h"
#include "paths.h"
#include "protocol/messages.h"
#include "sys/sys.h"
#include "update/upgrade.h"
#include "util/utf8.h"

namespace ruk {

namespace {

Result<std::string> read_standard_input() {
    std::string text;
    uint8_t buffer[65536];
    while (true) {
        auto n = sys::read_some(0, buffer);
        if (!n) return fail("cannot read standard input: " + n.error().message);
        if (*n == 0) break;
        text.append(reinterpret_cast<const char*>(buffer), *n);
    }
    if (lenient_utf8(text) != text) return fail("standard input is not valid UTF-8");
    return text;
}

Outcome print_reply(bool ok, const std::string& text) {
    if (ok) {
        if (!text.empty()) std::cout << text << "\n";
        return Outcome::Success;
    }
    if (!text.empty()) std::cerr << "ruk: " << text << "\n";
    return Outcome::Failure;
}

Outcome print_result(const Result<std::string>& result) {
    return result ? print_reply(true, *result) : print_reply(false, result.error().message);
}

// Without a server, the notification setting is still there to show and change.
Result<std::string> offline_notify(const std::vector<std::string>& args) {
    if (args.size() == 1) return std::string(notifications_enabled() ? "notifications are on" : "notifications are off");
    if (args.size() == 2 && (args[1] == "on" || args[1] == "off")) {
        RUK_TRY(set_notifications_enabled(args[1] == "on"));
        return "notifications are " + args[1];
    }
    return fail("usage: ruk notify [on|off|test]   (test needs a running session)");
}

// What a command can do with no server to run it.
Result<Outcome> run_offline(const std::vector<std::string>& args) {
    const std::string& word = args.front();
    if (word == "hosts" || word == "connect" || word == "disconnect") return print_result(offline_hosts_command(args));
    if (word == "notify") return print_result(offline_notify(args));
    return fail("no server running");
}

}  // namespace

Result<Outcome> run_server_command(std::vector<std::string> args) {
    if (args.size() == 3 && args[0] == "send" && args[2] == "-") args[2] = RUK_TRY(read_standard_input());
    offer_own_build();
    const auto path = RUK_TRY(socket_path());
    auto conn = sys::connect_unix(path);
    if (!conn) {
        if (args.empty()) return fail("no server running");
        return run_offline(args);
    }

    RUK_TRY(protocol::write_client_message(conn->get(), protocol::client::Command{std::move(args)}));
    protocol::FrameReader reader(conn->get());
    auto message = RUK_TRY(protocol::read_server_message(reader));
    const auto* reply = message ? std::get_if<protocol::server::Reply>(&*message) : nullptr;
    if (!reply) return fail("unexpected reply from server");
    return print_reply(reply->ok, reply->text);
}

}  // namespace ruk
