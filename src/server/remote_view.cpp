#include "server/remote_view.h"

#include "server/layout.h"
#include "server/registry.h"
#include "server/remote.h"
#include "server/server.h"

namespace ruk {

using namespace protocol;

namespace {

Screen new_copy(uint16_t rows, uint16_t cols) {
    const ScreenSize size = clamp_remote_size(rows, cols);
    return Screen(size.rows, size.cols, Screen::DEFAULT_SCROLLBACK, Screen::Kind::Remote);
}

}  // namespace

void update_remote_views(Server& server) {
    const TermSize pane = pane_size(server.size);
    for (Machine& machine : server.machines) {
        if (!machine.link || !machine.connected) continue;
        std::optional<WindowId> wanted;
        if (server.client && server.view && server.view->machine == machine.id) wanted = server.view->window;
        const bool stale = wanted ? !machine.screen || machine.view_window != *wanted || machine.view_rows != pane.rows ||
                                        machine.view_cols != pane.cols
                                  : machine.screen.has_value();
        if (!stale) continue;
        (void)request_view(machine, wanted, pane.rows, pane.cols);
        if (wanted) {
            machine.screen.emplace();
            machine.screen->screen = new_copy(pane.rows, pane.cols);
            machine.screen->window = *wanted;
        } else {
            machine.screen.reset();
        }
        machine.view_window = wanted.value_or(0);
        machine.view_rows = pane.rows;
        machine.view_cols = pane.cols;
    }
}

void feed_remote_output(Server& server, Machine& machine, server::PeerOutput&& output) {
    if (!machine.screen || machine.screen->window != output.window) return;
    RemoteScreen& copy = *machine.screen;
    if (output.size) {
        copy.screen = new_copy(output.size->rows, output.size->cols);
        copy.ready = true;
    } else if (!copy.ready) {
        return;
    }
    auto& scrollback = server.scrollback;
    if (scrollback.active && scrollback.machine == machine.id && scrollback.window == output.window) {
        // As for a local window: parsed at the user's offset, which the
        // screen raises as lines enter the history.
        copy.screen.set_scrollback_offset(scrollback.offset);
        copy.screen.feed(output.bytes);
        scrollback.offset = copy.screen.scrollback_offset();
        copy.screen.set_scrollback_offset(0);
        scrollback.max_offset = copy.screen.history_lines();
    } else {
        copy.screen.feed(output.bytes);
    }
}

Screen* remote_view_screen(Server& server) {
    if (!server.view || server.view->machine == 0) return nullptr;
    Machine* machine = find_machine(server, server.view->machine);
    if (!machine || !machine->screen || machine->screen->window != server.view->window) return nullptr;
    return &machine->screen->screen;
}

}  // namespace ruk
