// Screen model throughput and memory.
//
//   screen_bench [MB]   (default 50)
//
// Feeds MB megabytes of generated output (plain lines and lines of SGR-coloured
// runs, as a pseudo terminal delivers them) through a Screen at 50x175 and at
// 24x80 in 64 KiB blocks, and times the sequence scanner alone over the same
// blocks to show its share. Then fills 10 screens with 10000 history lines of
// 100 columns each and reports the resident memory they added.
#include <malloc.h>
#include <vterm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "screen/query_scanner.h"
#include "screen/screen.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string words_line(std::mt19937& rng, int max_len) {
    static const char ALPHA[] = "etaoinshrdlucmfwypvbgkjqxz";
    std::uniform_int_distribution<int> len(0, max_len), wlen(1, 10), letter(0, 25);
    int n = len(rng);
    std::string s;
    while (int(s.size()) < n) {
        if (!s.empty()) s += ' ';
        int w = wlen(rng);
        for (int i = 0; i < w; ++i) s += ALPHA[letter(rng)];
    }
    s.resize(size_t(n));
    return s;
}

std::string sgr(std::mt19937& rng, int i) {
    std::uniform_int_distribution<int> kind(0, 5), byte(0, 255);
    switch (kind(rng)) {
    case 0: return "\x1b[" + std::to_string(30 + i % 8) + "m";
    case 1: return "\x1b[1;" + std::to_string(90 + i % 8) + "m";
    case 2: return "\x1b[38;5;" + std::to_string(byte(rng)) + "m";
    case 3:
        return "\x1b[38;2;" + std::to_string(byte(rng)) + ";" + std::to_string(byte(rng)) + ";" +
               std::to_string(byte(rng)) + "m";
    case 4: return "\x1b[48;5;" + std::to_string(byte(rng)) + ";" + std::to_string(30 + i % 8) + "m";
    default: return "\x1b[4;" + std::to_string(40 + i % 8) + "m";
    }
}

// Half plain text lines, half lines of eight coloured 10-column runs.
std::string make_mixed(size_t bytes) {
    std::mt19937 rng(20240601);
    std::vector<std::string> pool;
    for (int i = 0; i < 4000; ++i) pool.push_back(words_line(rng, 120) + "\r\n");
    for (int i = 0; i < 4000; ++i) {
        std::string line;
        for (int k = 0; k < 8; ++k) {
            std::string w = words_line(rng, 12);
            w.resize(10, ' ');
            line += sgr(rng, k) + w;
        }
        pool.push_back(line + "\x1b[0m\r\n");
    }
    std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
    std::string out;
    out.reserve(bytes + 256);
    while (out.size() < bytes) out += pool[pick(rng)];
    return out;
}

std::string make_seq(int count) {
    std::string out;
    for (int i = 1; i <= count; ++i) out += std::to_string(i) + "\r\n";
    return out;
}

constexpr size_t BLOCK = 64 * 1024;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double time_screen(const std::string& data, int rows, int cols) {
    ruk::Screen screen(rows, cols);
    auto t0 = Clock::now();
    for (size_t i = 0; i < data.size(); i += BLOCK) {
        size_t n = std::min(BLOCK, data.size() - i);
        screen.feed(std::string_view(data.data() + i, n));
    }
    double t = seconds_since(t0);
    if (screen.take_replies().size() > 1000000) std::puts("?");
    return t;
}

double time_scanner(const std::string& data) {
    ruk::screen_detail::QueryScanner scanner(true);
    auto t0 = Clock::now();
    size_t stops = 0;
    for (size_t i = 0; i < data.size(); i += BLOCK) {
        size_t n = std::min(BLOCK, data.size() - i);
        std::span<const uint8_t> block(reinterpret_cast<const uint8_t*>(data.data() + i), n);
        for (size_t at = 0; at < n;) {
            at = scanner.scan(block, at).end;
            ++stops;
        }
    }
    double t = seconds_since(t0);
    if (stops == 0) std::puts("?");
    return t;
}

// libvterm's state layer with callbacks that do nothing: the floor that the
// screen builds on.
double time_vterm_alone(const std::string& data, int rows, int cols) {
    VTerm* vt = vterm_new(rows, cols);
    vterm_set_utf8(vt, 1);
    vterm_output_set_callback(vt, [](const char*, size_t, void*) {}, nullptr);
    VTermState* state = vterm_obtain_state(vt);
    static VTermStateCallbacks callbacks{};
    callbacks.putglyph = [](VTermGlyphInfo*, VTermPos, void*) { return 1; };
    callbacks.scrollrect = [](VTermRect, int, int, void*) { return 1; };
    callbacks.erase = [](VTermRect, int, void*) { return 1; };
    callbacks.setpenattr = [](VTermAttr, VTermValue*, void*) { return 1; };
    vterm_state_set_callbacks(state, &callbacks, nullptr);
    vterm_state_reset(state, 1);
    auto t0 = Clock::now();
    for (size_t i = 0; i < data.size(); i += BLOCK) vterm_input_write(vt, data.data() + i, std::min(BLOCK, data.size() - i));
    double t = seconds_since(t0);
    vterm_free(vt);
    return t;
}

long rss_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

void report(const char* what, const std::string& data, int rows, int cols) {
    double mb = double(data.size()) / 1e6;
    double best_screen = 1e9, best_scan = 1e9, best_vterm = 1e9;
    for (int run = 0; run < 3; ++run) {
        best_screen = std::min(best_screen, time_screen(data, rows, cols));
        best_scan = std::min(best_scan, time_scanner(data));
        best_vterm = std::min(best_vterm, time_vterm_alone(data, rows, cols));
    }
    std::printf("%-18s %3dx%-3d %5.1f MB: screen %5.1f MB/s (%.3f s); scanner alone %6.1f MB/s (%.3f s) = %4.1f%%"
                " of the screen's time; libvterm with empty callbacks %5.1f MB/s (%.3f s)\n",
                what, rows, cols, mb, mb / best_screen, best_screen, mb / best_scan, best_scan,
                100.0 * best_scan / best_screen, mb / best_vterm, best_vterm);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = argc > 1 ? size_t(std::atol(argv[1])) : 50;
    std::string mixed = make_mixed(mb * 1000000);
    std::string seq = make_seq(3000000);
    for (auto [rows, cols] : {std::pair{50, 175}, std::pair{24, 80}}) {
        report("mixed text + SGR", mixed, rows, cols);
        report("seq 1 3000000", seq, rows, cols);
    }
    mixed.clear();
    mixed.shrink_to_fit();
    seq.clear();
    seq.shrink_to_fit();

    // History memory: 10 screens, each with 10000 lines of exactly 100 columns.
    std::mt19937 rng(7);
    std::string fill;
    for (int i = 0; i < 10000 + 49; ++i) {
        char head[8];
        std::snprintf(head, sizeof head, "%06d ", i);
        std::string body = words_line(rng, 200);
        body.resize(93, '.');
        fill += head + body + "\r\n";
    }
    malloc_trim(0);
    long before = rss_kib();
    std::vector<ruk::Screen> screens;
    for (int i = 0; i < 10; ++i) {
        screens.emplace_back(49, 175);
        screens.back().feed(fill);
    }
    long after = rss_kib();
    std::printf("history: 10 screens at 49x175, %zu history lines each: RSS +%.1f MiB (%.0f bytes per line)\n",
                screens[0].history_lines(), double(after - before) / 1024.0,
                double(after - before) * 1024.0 / (10.0 * double(screens[0].history_lines())));
    return 0;
}
