// Two copying directions over one connection, one per thread; whichever side
// ends first ends the whole process, so ssh sees the end of our output when
// the server goes and the server sees the connection close when ssh does.
// The bridge adds no framing and holds no more than one block.
#include "bridge.h"

#include <unistd.h>

#include <cstdio>
#include <span>
#include <thread>
#include <vector>

#include "server/lifecycle.h"
#include "sys/sys.h"

namespace ruk {

namespace {

constexpr size_t BLOCK = 65536;

[[noreturn]] void finish() {
    // The other copying thread may be blocked in a read; the process ends
    // under it.
    std::fflush(nullptr);
    ::_exit(0);
}

void copy(int from, int to) {
    std::vector<uint8_t> buffer(BLOCK);
    while (true) {
        auto n = sys::read_some(from, buffer);
        if (!n || *n == 0) return;
        if (!sys::write_all(to, std::span(buffer.data(), *n))) return;
    }
}

}  // namespace

int run_bridge() {
    auto connection = connect_or_start();
    if (!connection) {
        std::fprintf(stderr, "ruk: %s\n", connection.error().message.c_str());
        return 1;
    }
    auto writer = sys::duplicate(connection->get());
    if (!writer) {
        std::fprintf(stderr, "ruk: %s\n", writer.error().message.c_str());
        return 1;
    }
    std::thread([to = std::move(*writer)] {
        copy(STDIN_FILENO, to.get());
        finish();
    }).detach();
    copy(connection->get(), STDOUT_FILENO);
    finish();
}

}  // namespace ruk
