#include "command_client.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <variant>

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

}  // namespace

Result<Outcome> run_server_command(std::vector<std::string> args) {
    if (args.size() == 3 && args[0] == "send" && args[2] == "-") args[2] = RUK_TRY(read_standard_input());
    offer_own_build();
    const auto path = RUK_TRY(socket_path());
    auto conn = sys::connect_unix(path);
    if (!conn) return fail("no server running");

    RUK_TRY(protocol::write_client_message(conn->get(), protocol::client::Command{std::move(args)}));
    protocol::FrameReader reader(conn->get());
    auto message = RUK_TRY(protocol::read_server_message(reader));
    const auto* reply = message ? std::get_if<protocol::server::Reply>(&*message) : nullptr;
    if (!reply) return fail("unexpected reply from server");
    if (reply->ok) {
        if (!reply->text.empty()) std::cout << reply->text << "\n";
        return Outcome::Success;
    }
    if (!reply->text.empty()) std::cerr << "ruk: " << reply->text << "\n";
    return Outcome::Failure;
}

}  // namespace ruk
