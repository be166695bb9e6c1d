// The sequence scanner that runs over every output block before libvterm sees
// it. libvterm keeps several input modes to itself and answers terminal
// queries with texts of its own, so this scanner tracks those modes, finds the
// queries that we answer, and notices the few attributes that libvterm drops
// (faint and concealed). It never changes the bytes.
//
// It parses exactly as libvterm's parser does (where a sequence starts and
// ends, which bytes cancel it, how strings end) so that both agree on every
// sequence. Text is skipped with memchr for ESC; only escape sequences are
// looked at byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "screen/screen.h"

namespace ruk::screen_detail {

enum class Query : uint8_t {
    None,
    PrimaryAttributes,      // ESC [ c, ESC [ 0 c
    SecondaryAttributes,    // ESC [ > c
    DeviceStatus,           // ESC [ 5 n
    CursorPosition,         // ESC [ 6 n
    CursorPositionPrivate,  // ESC [ ? 6 n
};

// Where scanning stopped: right after a sequence that the screen must act on
// once libvterm has parsed everything up to `end`, or at the end of the block.
struct ScanStop {
    size_t end = 0;
    Query query = Query::None;
    bool pen_changed = false;  // pen_extras() changed
    int8_t alternate = 0;      // +1 / -1: mode 47 switched the alternate screen on / off
    bool hard_reset = false;   // ESC c
    // The cursor was restored from where it was saved, perhaps before a
    // resize, and libvterm does not keep it on the screen.
    bool cursor_restored = false;
    // Sequences that libvterm must never see: a control sequence with more
    // arguments than its parser can hold (it writes past its array), and
    // device control strings (it formats some of its answers to them with a
    // broken printf format, and we drop its answers anyway). libvterm gets a
    // CAN after `end` to forget what it has seen of one; the rest is
    // discarded.
    bool cancel = false;
    bool discard = false;  // the bytes from where scanning started to `end` are dropped
    // Bytes after `end` to drop, and whether the unfinished UTF-8 character
    // held back from the previous block goes too: a C1 control in UTF-8.
    uint8_t skip = 0;
    bool drop_carry = false;
    bool any() const {
        return query != Query::None || pen_changed || alternate != 0 || hard_reset || cursor_restored || cancel ||
               discard || skip != 0;
    }
};

struct TrackedModes {
    bool application_cursor_keys = false;
    bool application_keypad = false;
    bool bracketed_paste = false;
    bool autowrap = true;
    bool g0_line_drawing = false;
    MouseMode mouse = MouseMode::None;
    MouseEncoding encoding = MouseEncoding::Default;
    // The scroll region as the program set it (1-based rows; 0: not set).
    uint32_t region_top = 0, region_bottom = 0;
};

class QueryScanner {
public:
    // With answer_queries false, queries are parsed but never reported.
    explicit QueryScanner(bool answer_queries) : m_answer(answer_queries) {}

    // Scans data from `from` on and stops after the first sequence that needs
    // the screen's attention (see ScanStop), or at the end.
    ScanStop scan(std::span<const uint8_t> data, size_t from);

    const TrackedModes& modes() const { return m_modes; }
    // True between sequences (a string or control sequence is not open).
    bool in_ground() const { return m_state == State::Ground && !m_in_esc; }
    // Forgets an unfinished sequence, as a CAN does.
    void cancel() {
        m_state = State::Ground;
        m_in_esc = false;
    }
    void reset_margins() { m_modes.region_top = m_modes.region_bottom = 0; }
    // attr::DIM and attr::HIDDEN as the program's SGR sequences left them.
    uint8_t pen_extras() const { return m_extras; }

private:
    enum class State : uint8_t { Ground, CsiLeader, CsiArgs, CsiInter, String, CsiDiscard, DcsDiscard };
    static constexpr int MAX_ARGS = 16;  // libvterm's CSI_ARGS_MAX
    static constexpr uint32_t MISSING = 0xFFFFFFFF;

    ScanStop escape(uint8_t final_byte);
    ScanStop csi(uint8_t final_byte);
    void dec_modes(bool set, ScanStop& stop);
    void sgr();
    void set_extras(uint8_t extras, ScanStop& stop);
    uint32_t arg(int i) const { return i < m_argc ? m_args[i] : MISSING; }

    bool m_answer;
    State m_state = State::Ground;
    bool m_in_esc = false;
    bool m_pending_c2 = false;  // the last block ended in text with the byte C2
    uint8_t m_esc_inter = 0, m_esc_inter_len = 0;
    uint8_t m_leader = 0, m_leader_len = 0;
    uint8_t m_inter = 0, m_inter_len = 0;
    int m_argi = 0, m_argc = 0;
    uint32_t m_args[MAX_ARGS] = {};
    uint32_t m_more = 0;                 // bit i: argument i was followed by ':'

    TrackedModes m_modes;
    uint8_t m_extras = 0, m_saved_extras = 0;
};

}  // namespace ruk::screen_detail
