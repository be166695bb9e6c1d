// The ssh child and its three threads. The reader of standard output waits
// (briefly) for the reader of standard error before it reports the end of
// the link: ssh writes why it failed and exits at once, and the loop must see
// that line, not a guess, when it picks the reason to show.
#include "server/link.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sys/sys.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {

namespace {

constexpr size_t READ_BLOCK = 8192;
// A line longer than this is cut: a far side that writes without line breaks
// must not grow the server without bound.
constexpr size_t MAX_ERROR_LINE = 4096;
constexpr auto STDERR_GRACE = std::chrono::seconds(2);

}  // namespace

struct RemoteLink::Shared {
    mutable std::mutex mutex;
    std::condition_variable stderr_ended;
    std::optional<std::string> last_error;
    bool stderr_done = false;
};

namespace {

void keep_line(RemoteLink::Shared& shared, std::string_view raw) {
    const std::string text = lenient_utf8(raw);
    const std::string line(trim_white_space(text));
    if (line.empty()) return;
    std::lock_guard lock(shared.mutex);
    shared.last_error = line;
}

void read_errors(Fd err, std::shared_ptr<RemoteLink::Shared> shared) {
    std::string line;
    uint8_t buffer[READ_BLOCK];
    while (true) {
        auto n = sys::read_some(err.get(), buffer);
        if (!n || *n == 0) break;
        for (size_t i = 0; i < *n; ++i) {
            if (buffer[i] == '\n') {
                keep_line(*shared, line);
                line.clear();
            } else if (line.size() < MAX_ERROR_LINE) {
                line.push_back(static_cast<char>(buffer[i]));
            }
        }
    }
    keep_line(*shared, line);
    {
        std::lock_guard lock(shared->mutex);
        shared->stderr_done = true;
    }
    shared->stderr_ended.notify_all();
}

void read_frames(Fd out, std::shared_ptr<RemoteLink::Shared> shared, uint64_t link_id, MachineId machine,
                 EventSender events) {
    protocol::FrameReader reader(out.get());
    while (true) {
        auto message = protocol::read_server_message(reader);
        // A clean end, a read error and an undecodable frame all end the link.
        if (!message || !*message) break;
        if (!events->send(event::RemoteMessage{link_id, machine, std::move(**message)})) return;
    }
    {
        std::unique_lock lock(shared->mutex);
        shared->stderr_ended.wait_for(lock, STDERR_GRACE, [&] { return shared->stderr_done; });
    }
    events->send(event::RemoteClosed{link_id, machine});
}

}  // namespace

std::string ssh_program() {
    if (auto value = sys::env("RUK_SSH"); value && !value->empty() && lenient_utf8(*value) == *value) return *value;
    return "ssh";
}

std::vector<std::string> ssh_arguments(const std::string& host, const std::string& command) {
    return {"-T", "-o", "BatchMode=yes", "-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=3",
            "--", host, command + " bridge"};
}

Result<std::unique_ptr<RemoteLink>> RemoteLink::start(const std::string& program, const std::vector<std::string>& args,
                                                      uint64_t link_id, MachineId machine, EventSender events) {
    sys::ChildOptions options;
    options.argv.push_back(program);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.in = options.out = options.err = sys::Stdio::Pipe;
    auto child = RUK_TRY(sys::spawn_process(options));

    std::unique_ptr<RemoteLink> link(new RemoteLink());
    link->m_id = link_id;
    link->m_pid = child.pid;
    link->m_shared = std::make_shared<Shared>();
    link->m_queue = std::make_unique<protocol::OutboundQueue>(std::move(child.in));
    std::thread(read_errors, std::move(child.err), link->m_shared).detach();
    std::thread(read_frames, std::move(child.out), link->m_shared, link_id, machine, std::move(events)).detach();
    return link;
}

RemoteLink::~RemoteLink() {
    // The queue goes first: its writer then closes ssh's input once what is
    // queued has gone (or, once ssh is dead, fails and lets go).
    m_queue.reset();
    if (m_pid > 0) {
        sys::terminate_process(m_pid);
        std::thread([pid = m_pid] { sys::wait_process(pid); }).detach();
    }
}

bool RemoteLink::send(const protocol::ClientMessage& message) {
    if (!m_queue) return false;
    return m_queue->send(protocol::encode_client_message(message));
}

std::optional<std::string> RemoteLink::last_error() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->last_error;
}

}  // namespace ruk
