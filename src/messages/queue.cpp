// The message queue of a window: what a message becomes before it is queued,
// how a batch is framed for the agent and turned into typed bytes, and the
// replies of `send`. Nothing here writes to a terminal; delivery does.
#include "messages/queue.h"

#include "server/registry.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/window.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {

namespace {


std::string label_of(const Window& window) {
    return window.name ? *window.name : "window " + std::to_string(window.number);
}

// How the window's own messages name it as their sender.
std::string sender_label_of(const Window& window) {
    return window.name ? *window.name : std::to_string(window.number);
}

std::string waiting_reason(const Window& window) {
    if (!window.agent) return "it is starting";
    switch (window.agent->state) {
    case AgentState::Working: return "it is working";
    case AgentState::NeedsInput: return "it is waiting on a prompt";
    case AgentState::Idle: break;
    }
    return "the user is typing there";
}

}  // namespace

Result<std::string> normalise_message(std::string_view raw) {
    const std::string text = lenient_utf8(raw);
    std::string kept;
    kept.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto [cp, len] = decode_utf8_at(text, i);
        if (cp == '\r') {
            kept += '\n';
            // CR LF is one line end.
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if ((cp < 0x20 && cp != '\t' && cp != '\n') || (cp >= 0x7F && cp <= 0x9F)) {
            // dropped: an ESC here could drive the agent's terminal
        } else {
            kept.append(text, i, len);
        }
        i += len;
    }

    const std::string_view trimmed = trim_white_space(kept);
    if (trimmed.empty()) return fail("message is empty");
    if (trimmed.size() > MAX_MESSAGE_BYTES)
        return fail("message is larger than " + std::to_string(MAX_MESSAGE_BYTES / 1024) + " KiB");
    return std::string(trimmed);
}

std::string frame_messages(const std::vector<QueuedMessage>& messages) {
    std::string out;
    for (size_t i = 0; i < messages.size(); ++i) {
        const QueuedMessage& m = messages[i];
        if (i > 0) out += "\n\n";
        if (m.sender) {
            out += "[ruk] Message from agent '" + *m.sender + "' (another agent, not the user). Reply with: ruk send " +
                   *m.sender + " \"<message>\"";
        } else {
            out += "[ruk] Message sent from outside ruk (no reply address).";
        }
        out += '\n';
        out += m.text;
    }
    return out;
}

std::vector<uint8_t> paste_bytes(std::string_view text, bool bracketed) {
    std::vector<uint8_t> out;
    out.reserve(text.size() + 12);
    auto add = [&](std::string_view s) { out.insert(out.end(), s.begin(), s.end()); };
    if (bracketed) {
        add("\x1b[200~");
        add(text);
        add("\x1b[201~");
    } else {
        for (char c : text) out.push_back(c == '\t' || c == '\n' ? ' ' : static_cast<uint8_t>(c));
    }
    return out;
}

uint64_t overdue_messages(const Window& window, std::chrono::steady_clock::time_point now) {
    if (window.queue.empty() || now - window.queue.front().queued_at < OVERDUE_AFTER) return 0;
    return window.queue.size();
}

Result<std::string> queue_message(Server& server, WindowId target, const std::string& text,
                                  const std::optional<std::string>& sender) {
    // The sender is named by its label; labels of local windows are unique
    // (names are never all digits, numbers are), so a match is the window itself.
    if (const Window* window = find_window(server, target); window && sender && *sender == sender_label_of(*window))
        return fail("can't send a message to yourself");
    std::string message = RUK_TRY(normalise_message(text));
    Window* window = find_window(server, target);
    if (!window) return fail("window is gone");
    const std::string label = label_of(*window);
    if (!window->agent && !window->started_as_agent) return fail(label + " is not running an agent");

    window->queue.push_back(QueuedMessage{std::move(message), sender, std::chrono::steady_clock::now()});
    deliver_pending(server);

    // Delivery never drops a window, but look it up again rather than trust that.
    window = find_window(server, target);
    if (!window || window->queue.empty()) return "delivered to " + label;
    return "queued for " + label + " (" + waiting_reason(*window) + "); it will be delivered when " + label +
           " is idle";
}

}  // namespace ruk
