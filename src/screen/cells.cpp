// Cell characters. Combining sequences are rare, so a cell holds a single
// 32-bit value and the clusters live in one process-wide, append-only table.
#include "screen/cells.h"

#include <deque>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "util/utf8.h"

namespace ruk::screen_detail {

namespace {

constexpr size_t MAX_CLUSTERS = 65536;

struct ClusterTable {
    std::mutex mutex;
    std::deque<std::u32string> clusters;  // a deque keeps the keys' storage stable
    std::unordered_map<std::u32string_view, uint32_t> ids;
};

ClusterTable& table() {
    static ClusterTable t;
    return t;
}

}  // namespace

uint32_t cell_char(const uint32_t* chars, int count) {
    if (count <= 0) return ' ';
    if (count == 1) return chars[0];
    std::u32string_view key(reinterpret_cast<const char32_t*>(chars), size_t(count));
    auto& t = table();
    std::lock_guard lock(t.mutex);
    if (auto it = t.ids.find(key); it != t.ids.end()) return Cell::CLUSTER_BASE + it->second;
    if (t.clusters.size() >= MAX_CLUSTERS) return chars[0];
    auto id = uint32_t(t.clusters.size());
    t.clusters.emplace_back(key);
    t.ids.emplace(std::u32string_view(t.clusters.back()), id);
    return Cell::CLUSTER_BASE + id;
}

void append_cell_chars(std::string& out, uint32_t ch) {
    if (ch < 0x80) {
        out.push_back(char(ch));
        return;
    }
    if (ch < Cell::CLUSTER_BASE) {
        append_utf8(out, char32_t(ch));
        return;
    }
    auto& t = table();
    std::lock_guard lock(t.mutex);
    size_t id = ch - Cell::CLUSTER_BASE;
    if (id >= t.clusters.size()) {
        out += "\xEF\xBF\xBD";
        return;
    }
    for (char32_t c : t.clusters[id]) append_utf8(out, c);
}

}  // namespace ruk::screen_detail

namespace ruk {

void Cell::append_text(std::string& out) const {
    if (width == 0) return;
    screen_detail::append_cell_chars(out, ch);
}

std::string Cell::text() const {
    std::string s;
    append_text(s);
    return s;
}

}  // namespace ruk
