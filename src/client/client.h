// The attach client: `ruk` without a command. It is thin on purpose: it
// neither interprets keys nor draws. It puts the terminal into raw mode on the
// alternate screen, forwards every byte typed as `Input`, reports size changes
// as `Resize`, writes every `Output` straight to the terminal, and gives the
// terminal back when the server detaches it or the connection ends.
#pragma once

#include <optional>
#include <string_view>

#include "sys/sys.h"
#include "util/result.h"

namespace ruk {

// Alternate screen, cursor home, clear.
inline constexpr std::string_view ENTER_SEQUENCE = "\x1b[?1049h\x1b[H\x1b[2J";
// Undoes every mode the server may switch on through `Output`: focus reports,
// the mouse modes, bracketed paste, application cursor keys and keypad,
// attributes, a hidden cursor, and the alternate screen.
inline constexpr std::string_view RESTORE_SEQUENCE =
    "\x1b[?1004l\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1005l\x1b[?1006l\x1b[?2004l"
    "\x1b[?1l\x1b>\x1b[0m\x1b[?25h\x1b[?1049l";

// Returns only with an error from before the terminal was taken over. Once it
// is taken over, the client ends the process itself: status 0 after printing
// the reason in brackets.
Result<void> attach();

// The size the server is told: the terminal's, or 80 by 24 when it cannot be
// read or a dimension is 32768 or more.
sys::TermSize reported_size(std::optional<sys::TermSize> read);

// Decides which terminal-size readings are worth a `Resize`: one per change,
// where a change is a different size or a size that became readable or
// unreadable.
class SizeWatch {
public:
    explicit SizeWatch(std::optional<sys::TermSize> initial) : m_last(initial) {}
    // The size to report for this reading, or nullopt when nothing changed.
    std::optional<sys::TermSize> observe(std::optional<sys::TermSize> now);

private:
    std::optional<sys::TermSize> m_last;
};

}  // namespace ruk
