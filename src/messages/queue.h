// Messages for agents: queued per window and typed in once the agent is idle
// and nobody is typing there.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "messages/message.h"
#include "server/events.h"
#include "util/result.h"

namespace ruk {

struct Server;
struct Window;

inline constexpr size_t MAX_MESSAGE_BYTES = 65536;
// Nobody typed into the window for this long before a message is typed in.
inline constexpr std::chrono::seconds TYPING_GUARD{3};
// Ticks between two deliveries to one window (two seconds).
inline constexpr uint64_t DELIVERY_SPACING_TICKS = 4;
// The Enter that sends a delivered message follows its paste after this long.
inline constexpr std::chrono::milliseconds ENTER_DELAY{150};
// A queue whose oldest message waited this long is overdue.
inline constexpr std::chrono::seconds OVERDUE_AFTER{120};

// CR LF and CR become LF; control characters other than tab and LF (C0, DEL
// and C1) are removed, so no escape sequence reaches the agent's terminal;
// white space is trimmed. Fails with "message is empty" or "message is larger
// than 64 KiB".
Result<std::string> normalise_message(std::string_view text);

// Each message as its header line and text; messages apart by a blank line.
std::string frame_messages(const std::vector<QueuedMessage>& messages);

// Bracketed: ESC [200~ text ESC [201~. Otherwise the text on one line (tabs
// and LFs become blanks), so the agent does not take a line as a submission.
std::vector<uint8_t> paste_bytes(std::string_view text, bool bracketed);

// The number of queued messages once the oldest has waited 120 seconds, else
// 0: what the sidebar, the agents table and other machines are shown.
uint64_t overdue_messages(const Window& window,
                          std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

// Queues a message for the agent in window `target` (and tries to deliver it
// at once). The reply text on success: "delivered to {}" or "queued for {} ({});
// it will be delivered when {} is idle"; a failure carries its message.
Result<std::string> queue_message(Server& server, WindowId target, const std::string& text,
                                  const std::optional<std::string>& sender);

// The agent started in `window` by `new` did not show up before its start
// deadline: drops the messages queued for it, with a notice naming the window
// and the count. The agent pass calls it once, then clears the window's
// started-as-agent flag and deadline itself.
void drop_messages_of_unstarted_agent(Server& server, Window& window);

}  // namespace ruk
