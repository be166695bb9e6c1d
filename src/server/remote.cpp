#include "server/remote.h"

#include "server/layout.h"
#include "server/registry.h"
#include "server/server.h"

namespace ruk {

using namespace protocol;

bool send_to_machine(Machine& machine, const ClientMessage& message) {
    if (!machine.link || !machine.connected) return false;
    return machine.link->send(message);
}

bool request_view(Machine& machine, std::optional<WindowId> window, uint16_t rows, uint16_t cols) {
    return send_to_machine(machine, client::Peer{peer_request::View{.window = window, .rows = rows, .cols = cols}});
}

bool request_move_window(Server& server, MachineId machine, WindowId window, uint32_t number) {
    Machine* m = find_machine(server, machine);
    return m && send_to_machine(*m, client::Peer{peer_request::MoveWindow{.window = window, .index = number}});
}

bool request_rename_window(Server& server, MachineId machine, WindowId window, std::optional<std::string> name) {
    Machine* m = find_machine(server, machine);
    return m && send_to_machine(*m, client::Peer{peer_request::Rename{.window = window, .name = std::move(name)}});
}

bool request_new_window(Server& server, MachineId machine) {
    Machine* m = find_machine(server, machine);
    if (!m) return false;
    std::optional<WindowId> near;
    if (server.view && server.view->machine == machine) near = server.view->window;
    const auto pane = pane_size(server.size);
    const peer_request::NewWindow request{.near = near, .rows = pane.rows, .cols = pane.cols, .agent = std::nullopt,
                                          .request = std::nullopt};
    if (!send_to_machine(*m, client::Peer{request})) return false;
    m->follow_next_created = true;
    return true;
}

bool send_remote_input(Server& server, MachineId machine, WindowId window, std::span<const uint8_t> bytes) {
    Machine* m = find_machine(server, machine);
    return m && send_to_machine(*m, client::PeerInput{window, Bytes(bytes.begin(), bytes.end())});
}

}  // namespace ruk
