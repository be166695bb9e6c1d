// The alert pass. An alert is an agent's transition into needing input, or
// from working to idle; the first sight of an agent is never one, so a server
// start or a reconnection does not alert about every waiting agent at once.
// All alerts of one tick make one notification.
#include "server/alerts.h"

#include <set>

#include "location/location.h"
#include "notify/notify.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/tick.h"

namespace ruk {

namespace {

struct Alert {
    std::string text;
    std::string detail;  // the project, or empty
};

std::string agent_label(const Server& server, const SidebarAgent& agent) {
    if (agent.machine == 0) return agent.name;
    return agent.name + " on " + machine_display_name(server, agent.machine);
}

std::string project_detail(const SidebarAgent& agent) {
    if (!agent.project_root) return "";
    std::string detail = project_name(*agent.project_root);
    if (agent.branch) detail += " (" + *agent.branch + ")";
    return detail;
}

}  // namespace

void notify_user(Server& server, const std::string& title, const std::string& body) {
    if (notifications_enabled()) send_notification(server, title, body);
}

std::optional<Notification> collect_alerts(Server& server, const std::vector<SidebarAgent>& agents) {
    using Kind = AlertBook::Kind;
    AlertBook& book = server.alerts;
    std::vector<Alert> alerts;
    std::set<AlertBook::AgentKey> present;

    for (const SidebarAgent& agent : agents) {
        const AlertBook::AgentKey key{agent.machine, agent.window_id};
        present.insert(key);
        auto [entry, first_sight] = book.last_state.try_emplace(key, agent.state);
        const AgentState previous = entry->second;
        entry->second = agent.state;
        if (first_sight || agent.unreachable) continue;

        Kind kind;
        if (agent.state == AgentState::NeedsInput && previous != AgentState::NeedsInput) kind = Kind::NeedsInput;
        else if (agent.state == AgentState::Idle && previous == AgentState::Working) kind = Kind::Done;
        else continue;

        if (server.client && server.focused && agent.current) continue;

        // The repeat window restarts with every alert considered, shown or not.
        auto [last, first_alert] = book.last_alert.try_emplace({agent.machine, agent.window_id, kind}, server.tick);
        const uint64_t previous_tick = last->second;
        last->second = server.tick;
        if (!first_alert && previous_tick + ALERT_REPEAT_TICKS > server.tick) continue;

        alerts.push_back({agent_label(server, agent) + (kind == Kind::NeedsInput ? " needs input" : " is done"),
                          project_detail(agent)});
    }

    std::erase_if(book.last_state, [&](const auto& e) { return !present.contains(e.first); });
    std::erase_if(book.last_alert, [&](const auto& e) {
        return !present.contains(AlertBook::AgentKey{e.first.machine, e.first.window});
    });

    if (alerts.empty()) return std::nullopt;
    if (alerts.size() == 1) return Notification{alerts[0].text, alerts[0].detail};
    Notification merged{std::to_string(alerts.size()) + " agents need attention", ""};
    for (size_t i = 0; i < alerts.size(); ++i) merged.body += (i > 0 ? "\n" : "") + alerts[i].text;
    return merged;
}

void alert_pass(Server& server) {
    auto notification = collect_alerts(server, sidebar_agents(server));
    // Alerts made while notifications are off are dropped, not saved up.
    if (notification) notify_user(server, notification->title, notification->body);
}

}  // namespace ruk
