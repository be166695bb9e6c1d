// The scanner's parse mirrors libvterm's: an ESC always starts a new escape
// (ending any string or control sequence in progress), CAN and SUB cancel,
// NUL and DEL are ignored, other C0 controls run in the middle of a sequence
// without ending it, ESC "[" / "]" / "P" open a control sequence, an OSC or a
// DCS string even after intermediate bytes, and only those two open strings
// (libvterm prints the body of SOS, PM and APC).
// Device control strings never reach libvterm at all (see ScanStop::cancel).
#include "screen/query_scanner.h"

#include <cstring>

namespace ruk::screen_detail {

namespace {

constexpr uint32_t ARG_CAP = 0x7FFFFFFE;

}  // namespace

ScanStop QueryScanner::scan(std::span<const uint8_t> data, size_t from) {
    const uint8_t* p = data.data();
    const size_t n = data.size();
    size_t i = from;
    if (m_state == State::CsiDiscard || m_state == State::DcsDiscard) {
        // A control sequence up to and with its final byte, a control string
        // up to and with BEL; an ESC, CAN or SUB ends either and is left for
        // libvterm (ESC \ is then a harmless string terminator).
        const bool csi = m_state == State::CsiDiscard;
        while (i < n) {
            uint8_t c = p[i];
            if (c == 0x1b || c == 0x18 || c == 0x1a) {
                m_state = State::Ground;
                break;
            }
            ++i;
            if (csi ? (c >= 0x40 && c <= 0x7e) : c == 0x07) {
                m_state = State::Ground;
                break;
            }
        }
        ScanStop stop{i};
        stop.discard = true;
        return stop;
    }
    while (i < n) {
        if (m_state == State::Ground && !m_in_esc) {
            const void* esc = std::memchr(p + i, 0x1b, n - i);
            size_t text_end = esc ? size_t(static_cast<const uint8_t*>(esc) - p) : n;
            // C1 controls written as UTF-8 (U+0080..U+009F, C2 80..C2 9F):
            // libvterm gives them a width of -1 and moves its cursor left,
            // off the screen at the start of a row. They are dropped.
            if (m_pending_c2 && i == from && i < n) {
                m_pending_c2 = false;
                if (p[i] >= 0x80 && p[i] <= 0x9f) {
                    ScanStop stop{i};
                    stop.skip = 1;
                    stop.drop_carry = true;
                    return stop;
                }
            }
            for (size_t k = i; k < text_end;) {
                const void* lead = std::memchr(p + k, 0xc2, text_end - k);
                if (lead == nullptr) break;
                k = size_t(static_cast<const uint8_t*>(lead) - p);
                if (k + 1 == n) {
                    m_pending_c2 = true;  // the next block decides
                    break;
                }
                if (p[k + 1] >= 0x80 && p[k + 1] <= 0x9f) {
                    ScanStop stop{k};
                    stop.skip = 2;
                    return stop;
                }
                ++k;
            }
            if (esc == nullptr) return {n};
            i = text_end + 1;
            m_in_esc = true;
            m_esc_inter_len = 0;
            continue;
        }
        uint8_t c = p[i++];
        if (c == 0x00 || c == 0x7f) continue;
        if (c == 0x18 || c == 0x1a) {
            m_in_esc = false;
            m_state = State::Ground;
            continue;
        }
        if (c == 0x1b) {
            m_in_esc = true;
            m_esc_inter_len = 0;
            m_state = State::Ground;
            continue;
        }
        if (c == 0x07 && m_state == State::String) {
            m_state = State::Ground;
            continue;
        }
        if (c < 0x20) continue;

        if (m_in_esc) {
            // "[", "]" and "P" open a sequence even after intermediates;
            // anything else from 0x30 to 0x7E ends an escape sequence.
            if (c == '[') {
                m_in_esc = false;
                m_state = State::CsiLeader;
                m_leader_len = 0;
                m_inter_len = 0;
            } else if (c == ']') {
                m_in_esc = false;
                m_state = State::String;
            } else if (c == 'P') {
                m_in_esc = false;
                m_state = State::DcsDiscard;
                ScanStop stop{i - 1};
                stop.cancel = true;
                return stop;
            } else if (c >= 0x20 && c <= 0x2f) {
                if (m_esc_inter_len == 0) m_esc_inter = c;
                if (m_esc_inter_len < 255) ++m_esc_inter_len;
            } else if (c >= 0x30 && c <= 0x7e) {
                m_in_esc = false;
                ScanStop stop = escape(c);
                if (stop.any()) {
                    stop.end = i;
                    return stop;
                }
            }
            continue;  // anything else inside an escape is dropped, as libvterm does
        }

        switch (m_state) {
        case State::CsiLeader:
            if (c >= 0x3c && c <= 0x3f) {
                if (m_leader_len == 0) m_leader = c;
                if (m_leader_len < 255) ++m_leader_len;
                continue;
            }
            m_state = State::CsiArgs;
            m_argi = 0;
            m_args[0] = MISSING;
            m_more = 0;
            [[fallthrough]];
        case State::CsiArgs:
            if (c >= '0' && c <= '9') {
                uint32_t& a = m_args[m_argi];
                if (a == MISSING) a = 0;
                a = a > (ARG_CAP - 9) / 10 ? ARG_CAP : a * 10 + uint32_t(c - '0');
                continue;
            }
            if (c == ':' || c == ';') {
                if (m_argi + 1 >= MAX_ARGS) {
                    m_state = State::CsiDiscard;
                    ScanStop stop{i - 1};
                    stop.cancel = true;
                    return stop;
                }
                if (c == ':') m_more |= 1u << m_argi;
                m_args[++m_argi] = MISSING;
                continue;
            }
            m_argc = m_argi + 1;
            m_state = State::CsiInter;
            [[fallthrough]];
        case State::CsiInter:
            if (c >= 0x20 && c <= 0x2f) {
                if (m_inter_len == 0) m_inter = c;
                if (m_inter_len < 255) ++m_inter_len;
                continue;
            }
            m_state = State::Ground;
            if (c >= 0x40 && c <= 0x7e) {
                ScanStop stop = csi(c);
                if (stop.any()) {
                    stop.end = i;
                    return stop;
                }
            }
            continue;
        case State::String:
        case State::Ground:
        case State::CsiDiscard:
        case State::DcsDiscard:
            continue;
        }
    }
    return {n};
}

ScanStop QueryScanner::escape(uint8_t final_byte) {
    ScanStop stop;
    if (m_esc_inter_len == 1 && m_esc_inter == '(') {
        m_modes.g0_line_drawing = final_byte == '0';
        return stop;
    }
    if (m_esc_inter_len != 0) return stop;
    switch (final_byte) {
    case '=': m_modes.application_keypad = true; break;
    case '>': m_modes.application_keypad = false; break;
    case '7': m_saved_extras = m_extras; break;
    case '8':
        set_extras(m_saved_extras, stop);
        stop.cursor_restored = true;
        break;
    case 'c':
        m_modes = TrackedModes{};
        m_saved_extras = 0;
        set_extras(0, stop);
        stop.hard_reset = true;
        break;
    default: break;
    }
    return stop;
}

ScanStop QueryScanner::csi(uint8_t final_byte) {
    ScanStop stop;
    const bool plain = m_leader_len == 0 && m_inter_len == 0;
    const bool dec = m_leader_len == 1 && m_leader == '?' && m_inter_len == 0;
    const uint32_t p = arg(0);
    switch (final_byte) {
    case 'c':
        if (!m_answer || m_inter_len != 0 || (p != MISSING && p != 0)) break;
        if (m_leader_len == 0) stop.query = Query::PrimaryAttributes;
        else if (m_leader_len == 1 && m_leader == '>') stop.query = Query::SecondaryAttributes;
        break;
    case 'n':
        if (!m_answer) break;
        if (plain && p == 5) stop.query = Query::DeviceStatus;
        else if (plain && p == 6) stop.query = Query::CursorPosition;
        else if (dec && p == 6) stop.query = Query::CursorPositionPrivate;
        break;
    case 'h':
    case 'l':
        if (dec) dec_modes(final_byte == 'h', stop);
        break;
    case 'm':
        if (plain) {
            uint8_t before = m_extras;
            sgr();
            stop.pen_changed = m_extras != before;
        }
        break;
    case 'r':
        if (plain) {
            m_modes.region_top = p == MISSING ? 1 : p;
            m_modes.region_bottom = arg(1) == MISSING ? 0 : arg(1);
        }
        break;
    case 's':
        if (plain) m_saved_extras = m_extras;
        break;
    case 'u':
        if (plain) {
            set_extras(m_saved_extras, stop);
            stop.cursor_restored = true;
        }
        break;
    case 'p':
        // DECSTR, the soft reset: libvterm resets these along with its own state.
        if (m_leader_len == 0 && m_inter_len == 1 && m_inter == '!') {
            m_modes.application_cursor_keys = false;
            m_modes.application_keypad = false;
            m_modes.autowrap = true;
            m_modes.g0_line_drawing = false;
            m_modes.region_top = m_modes.region_bottom = 0;
            set_extras(0, stop);
        }
        break;
    default: break;
    }
    return stop;
}

void QueryScanner::dec_modes(bool set, ScanStop& stop) {
    auto mouse = [&](MouseMode mode) {
        if (set) m_modes.mouse = mode;
        else if (m_modes.mouse == mode) m_modes.mouse = MouseMode::None;
    };
    auto encoding = [&](MouseEncoding e) {
        if (set) m_modes.encoding = e;
        else if (m_modes.encoding == e) m_modes.encoding = MouseEncoding::Default;
    };
    for (int i = 0; i < m_argc; ++i) {
        switch (m_args[i]) {
        case 1: m_modes.application_cursor_keys = set; break;
        case 7: m_modes.autowrap = set; break;
        case 9: mouse(MouseMode::Press); break;
        case 47: stop.alternate = set ? 1 : -1; break;
        case 1000: mouse(MouseMode::PressRelease); break;
        case 1002: mouse(MouseMode::ButtonMotion); break;
        case 1003: mouse(MouseMode::AnyMotion); break;
        case 1005: encoding(MouseEncoding::Utf8); break;
        case 1006: encoding(MouseEncoding::Sgr); break;
        case 2004: m_modes.bracketed_paste = set; break;
        case 1048:
        case 1049:
            // libvterm saves and restores its pen with the cursor here.
            if (set) {
                m_saved_extras = m_extras;
            } else {
                set_extras(m_saved_extras, stop);
                stop.cursor_restored = true;
            }
            break;
        default: break;
        }
    }
}

void QueryScanner::sgr() {
    // Walks the arguments as libvterm's pen does, so that the 2 in 38;5;2
    // is read as a colour, never as "faint".
    // ESC [ m arrives as one missing argument, which reads as 0.
    int a = 0;
    while (a < m_argc) {
        uint32_t v = m_args[a] == MISSING ? 0 : m_args[a];
        switch (v) {
        case 0: m_extras = 0; break;
        case 2: m_extras |= attr::DIM; break;
        case 8: m_extras |= attr::HIDDEN; break;
        case 22: m_extras &= uint8_t(~attr::DIM); break;
        case 28: m_extras &= uint8_t(~attr::HIDDEN); break;
        case 38:
        case 48: {
            uint32_t palette = arg(a + 1);
            int rest = m_argc - a - 2;
            int used = 0;
            if (palette == 2) used = rest < 3 ? (rest > 0 ? rest : 0) : 3;
            else if (palette == 5) used = rest < 1 ? 0 : 1;
            a += 1 + used;
            break;
        }
        default: break;
        }
        bool more;
        do {
            more = a < MAX_ARGS && (m_more & (1u << a)) != 0;
            ++a;
        } while (more && a < m_argc);
    }
}

void QueryScanner::set_extras(uint8_t extras, ScanStop& stop) {
    if (extras != m_extras) stop.pen_changed = true;
    m_extras = extras;
}

}  // namespace ruk::screen_detail
