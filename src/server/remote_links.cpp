// A machine is connecting (a link, no welcome yet), connected (welcomed),
// waiting (no link; its status is the last reason and a retry is scheduled)
// or parked (the link reached this very server; never retried). Events of a
// link that is no longer the machine's current one are ignored, so a late
// message from a link that was replaced or closed changes nothing.
//
// Every text that comes from the other side (its ssh errors, its reasons,
// window names, processes, branches) passes the display filter before it is
// kept, because it ends up on the user's terminal.
#include "server/remote_links.h"

#include <algorithm>
#include <cstring>

#include "hosts/host_names.h"
#include "hosts/hosts_file.h"
#include "server/connections.h"
#include "server/registry.h"
#include "server/remote.h"
#include "server/remote_view.h"
#include "server/server.h"
#include "server/status.h"
#include "server/tick.h"
#include "server/view.h"
#include "util/sanitize.h"
#include "util/overload.h"

namespace ruk {

namespace {

using namespace protocol;

constexpr uint8_t MACHINE_COLOURS[] = {75, 176, 215, 80, 147, 222};
constexpr std::string_view CONNECTING = "connecting…";
constexpr std::string_view OWN_MACHINE = "this is the machine ruk is running on";
constexpr std::string_view NO_ANSWER = "no answer; is it busy?";

void schedule_retry(Server& server, Machine& machine) {
    machine.next_retry = server.tick + machine.retry_delay;
    machine.retry_delay = std::min(machine.retry_delay * 2, MAX_RETRY_DELAY);
}

Result<void> save_hosts(const Server& server) {
    std::vector<HostEntry> entries;
    for (const Machine& machine : server.machines) entries.push_back(HostEntry{machine.host, machine.command});
    return write_hosts(entries);
}

// Answers and forgets the requests that `selected` picks, keeping the order of the others.
template <class Pick>
void fail_requests(Server& server, Pick selected, std::string_view text) {
    std::vector<PendingRemoteRequest> kept;
    for (auto& request : server.pending_remote_requests) {
        if (!selected(request)) {
            kept.push_back(std::move(request));
            continue;
        }
        const Machine* machine = find_machine(server, request.machine);
        const std::string host = machine ? machine->host : "that machine";
        answer_and_close(std::move(request.requester), false, host + ": " + std::string(text));
    }
    server.pending_remote_requests = std::move(kept);
}

// The answer to a waiting request; dropped when the request has timed out or
// its machine was disconnected.
void answer_request(Server& server, MachineId machine, uint64_t id, bool ok, const std::string& text) {
    auto& pending = server.pending_remote_requests;
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const PendingRemoteRequest& r) { return r.machine == machine && r.id == id; });
    if (it == pending.end()) return;
    Fd requester = std::move(it->requester);
    pending.erase(it);
    answer_and_close(std::move(requester), ok, text);
}

bool lists(const Machine& machine, WindowId id) {
    return std::any_of(machine.windows.begin(), machine.windows.end(), [&](const WindowInfo& w) { return w.id == id; });
}

// The viewed window of this machine is gone: its first window, else the
// first local one, else the first window anywhere, else nothing.
void move_view_off(Server& server, const Machine& machine) {
    if (!machine.windows.empty()) return switch_view(server, machine.id, machine.windows.front().id);
    if (!server.windows.empty()) return switch_view(server, 0, server.windows.front()->id);
    for (const Machine& other : server.machines)
        if (!other.windows.empty()) return switch_view(server, other.id, other.windows.front().id);
    clear_view(server);
}

void merge_windows(Server& server, Machine& machine, std::vector<WindowInfo>&& received) {
    const std::vector<WindowInfo> old = std::move(machine.windows);
    const std::set<WindowId> old_done = std::move(machine.done);
    machine.windows.clear();
    machine.done.clear();
    for (WindowInfo& info : received) {
        if (info.name && !validate_window_name(*info.name)) info.name.reset();
        info.process = sanitize_text(info.process);
        if (info.agent && info.agent->location && info.agent->location->branch)
            info.agent->location->branch = sanitize_text(*info.agent->location->branch);

        auto before = std::find_if(old.begin(), old.end(), [&](const WindowInfo& w) { return w.id == info.id; });
        const bool known = before != old.end();
        const bool viewed = server.view == View{machine.id, info.id};
        const bool idle = info.agent && info.agent->state == "idle";
        bool done = false;
        if (info.agent && known && before->agent && before->agent->state == "working")
            done = !viewed && idle;
        else if (known && info.agent && !viewed && idle)
            done = old_done.contains(info.id);
        if (done) machine.done.insert(info.id);
        machine.windows.push_back(std::move(info));
    }
    std::stable_sort(machine.windows.begin(), machine.windows.end(),
                     [](const WindowInfo& a, const WindowInfo& b) { return a.index < b.index; });
    if (server.view && server.view->machine == machine.id && !lists(machine, server.view->window))
        move_view_off(server, machine);
}

void welcomed(Server& server, Machine& machine, peer_event::Welcome&& welcome) {
    if (welcome.instance == server.instance) {
        // The link went round to this very server; trying again would only
        // do the same.
        link_lost(server, machine.id, std::string(OWN_MACHINE));
        machine.next_retry = RETRY_NEVER;
        return;
    }
    if (welcome.version != PROTOCOL_VERSION) {
        link_lost(server, machine.id,
                  "ruk there speaks protocol " + std::to_string(welcome.version) + ", this ruk speaks " +
                      std::to_string(PROTOCOL_VERSION) + "; install the same version on both");
        return;
    }
    machine.connected = true;
    machine.features = std::move(welcome.features);
    machine.build = welcome.build;
    machine.release = std::move(welcome.release);
    machine.status.reset();
    machine.retry_delay = FIRST_RETRY_DELAY;
    // A fresh view request and a fresh copy follow after this batch.
    machine.screen.reset();
}

void created(Server& server, Machine& machine, peer_event::Created&& e) {
    const std::string name = sanitize_text(e.name.value_or(""));
    if (e.request) {
        answer_request(server, machine.id, *e.request, true,
                       "started " + name + " on " + machine_display_name(server, machine.id));
        return;
    }
    if (machine.follow_next_created) {
        machine.follow_next_created = false;
        switch_view(server, machine.id, e.window);
    }
}

void refused(Server& server, Machine& machine, peer_event::Error&& e) {
    const std::string message = sanitize_text(e.message);
    if (e.request)
        answer_request(server, machine.id, *e.request, false, message);
    else
        set_status_message(server, machine.host + ": " + message);
}

}  // namespace

MachineId add_machine(Server& server, std::string host, std::string command) {
    Machine machine;
    machine.id = server.next_machine_id++;
    machine.host = std::move(host);
    machine.command = std::move(command);
    machine.colour = MACHINE_COLOURS[(machine.id - 1) % std::size(MACHINE_COLOURS)];
    const MachineId id = machine.id;
    server.machines.push_back(std::move(machine));
    start_link(server, id);
    return id;
}

void connect_saved_hosts(Server& server) {
    for (auto& entry : read_hosts()) add_machine(server, std::move(entry.host), std::move(entry.command));
}

void start_link(Server& server, MachineId id) {
    const uint64_t link_id = server.next_link_id++;
    Machine* machine = find_machine(server, id);
    if (!machine) return;
    const std::string program = ssh_program();
    auto link = RemoteLink::start(program, ssh_arguments(machine->host, machine->command), link_id, id, server.events);
    if (!link) {
        const int code = link.error().code;
        machine->status = "can't run " + program + ": " + (code ? std::strerror(code) : link.error().message);
        schedule_retry(server, *machine);
        return;
    }
    close_link(*machine);
    machine->link = std::move(*link);
    machine->link_id = link_id;
    machine->connected = false;
    machine->pending_reason.reset();
    machine->status = std::string(CONNECTING);
    // The only request before the welcome.
    machine->link->send(client::Peer{peer_request::Hello{PROTOCOL_VERSION}});
}

void close_link(Machine& machine) { machine.link.reset(); }

void close_all_links(Server& server) {
    for (Machine& machine : server.machines) close_link(machine);
}

void link_lost(Server& server, MachineId id, std::optional<std::string> reason) {
    Machine* machine = find_machine(server, id);
    if (!machine) return;
    std::string text;
    std::optional<std::string> last_error;
    if (machine->link) last_error = machine->link->last_error();
    if (reason)
        text = std::move(*reason);
    else if (machine->link && machine->pending_reason)
        text = *machine->pending_reason;
    else if (last_error)
        text = sanitize_text(*last_error);
    else if (machine->connected)
        text = "connection closed";
    else
        text = "no answer from ruk on " + machine->host + "; is `" + machine->command + "` installed there?";
    machine->pending_reason.reset();
    close_link(*machine);
    machine->connected = false;
    machine->follow_next_created = false;
    machine->status = text;
    schedule_retry(server, *machine);
    fail_pending_requests(server, id, text);
}

void handle_remote_closed(Server& server, uint64_t link, MachineId id) {
    const Machine* machine = find_machine(server, id);
    if (machine && machine->link && machine->link_id == link) link_lost(server, id, std::nullopt);
}

void handle_remote_message(Server& server, uint64_t link, MachineId id, ServerMessage&& message) {
    Machine* machine = find_machine(server, id);
    if (!machine || !machine->link || machine->link_id != link) return;
    std::visit(Overload{
                   [](server::Output&) {},
                   [](server::Reply&) {},
                   [&](server::Detach& m) { machine->pending_reason = sanitize_text(m.reason); },
                   [&](server::PeerOutput& m) { feed_remote_output(server, *machine, std::move(m)); },
                   [&](server::Peer& m) {
                       std::visit(Overload{
                                      [&](peer_event::Welcome& e) { welcomed(server, *machine, std::move(e)); },
                                      [&](peer_event::Windows& e) {
                                          merge_windows(server, *machine, std::move(e.windows));
                                      },
                                      [&](peer_event::Created& e) { created(server, *machine, std::move(e)); },
                                      [&](peer_event::Error& e) { refused(server, *machine, std::move(e)); },
                                  },
                                  m.event);
                   },
               },
               message);
}

void reconnect_machines(Server& server) {
    for (size_t i = 0; i < server.machines.size(); ++i) {
        const Machine& machine = server.machines[i];
        if (!machine.link && machine.next_retry <= server.tick) start_link(server, machine.id);
    }
}

void request_remote_agent(Server& server, MachineId id, NewAgent agent, uint16_t rows, uint16_t cols, Fd requester) {
    const uint64_t request_id = server.next_request_id++;
    Machine* machine = find_machine(server, id);
    const peer_request::NewWindow request{
        .near = std::nullopt, .rows = rows, .cols = cols, .agent = std::move(agent), .request = request_id};
    if (!machine || !send_to_machine(*machine, client::Peer{request})) {
        answer_and_close(std::move(requester), false, (machine ? machine->host : "that machine") + " is not connected");
        return;
    }
    server.pending_remote_requests.push_back(PendingRemoteRequest{
        .id = request_id, .machine = id, .deadline = server.tick + REMOTE_REQUEST_TICKS, .requester = std::move(requester)});
}

void fail_pending_requests(Server& server, MachineId id, const std::string& text) {
    fail_requests(server, [&](const PendingRemoteRequest& r) { return r.machine == id; }, text);
}

void expire_remote_requests(Server& server) {
    fail_requests(server, [&](const PendingRemoteRequest& r) { return r.deadline <= server.tick; }, NO_ANSWER);
}

Result<std::string> connect_machine(Server& server, std::string host, std::string command) {
    RUK_TRY(valid_ssh_destination(host));
    if (std::any_of(server.machines.begin(), server.machines.end(), [&](const Machine& m) { return m.host == host; }))
        return fail("already connected to " + host + " (see: ruk hosts)");
    if (command.empty()) command = "ruk";
    add_machine(server, host, std::move(command));
    // A file that cannot be written is reported; the machine stays for this server's life.
    RUK_TRY(save_hosts(server));
    return "connecting to " + host + "; it will reconnect automatically (saved in " + hosts_path() + ")";
}

Result<std::string> disconnect_machine(Server& server, std::string host) {
    auto it = std::find_if(server.machines.begin(), server.machines.end(), [&](const Machine& m) { return m.host == host; });
    if (it == server.machines.end()) return fail("not connected to " + host);
    const MachineId id = it->id;
    fail_pending_requests(server, id, "disconnected");
    // Dropping the machine ends its link.
    server.machines.erase(it);
    if (server.view && server.view->machine == id) {
        if (server.windows.empty())
            server.view.reset();
        else
            server.view = View{0, server.windows.front()->id};
    }
    if (server.scrollback.active && server.scrollback.machine == id) end_scrollback(server);
    RUK_TRY(save_hosts(server));
    return "disconnected from " + host;
}

}  // namespace ruk
