// Both pipes are drained together: a child that fills one while we wait on
// the other would never end.
#include "update/capture.h"

#include <poll.h>
#include <sys/wait.h>

#include <cerrno>

#include "sys/sys.h"

namespace ruk {

Result<Captured> run_captured(const std::vector<std::string>& argv, ErrorOutput err) {
    sys::ChildOptions options{.argv = argv};
    options.in = sys::Stdio::Null;
    options.out = sys::Stdio::Pipe;
    options.err = err == ErrorOutput::Capture ? sys::Stdio::Pipe : sys::Stdio::Null;
    auto child = RUK_TRY(sys::spawn_process(options));

    Captured captured;
    struct Source {
        Fd& fd;
        std::string& text;
    };
    Source sources[] = {{child.out, captured.out}, {child.err, captured.err}};
    uint8_t buffer[65536];
    while (true) {
        pollfd entries[2];
        Source* owners[2];
        nfds_t count = 0;
        for (auto& source : sources) {
            if (!source.fd) continue;
            entries[count] = {source.fd.get(), POLLIN, 0};
            owners[count++] = &source;
        }
        if (count == 0) break;
        if (::poll(entries, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (entries[i].revents == 0) continue;
            auto n = sys::read_some(entries[i].fd, buffer);
            if (!n || *n == 0) {
                owners[i]->fd.reset();
                continue;
            }
            owners[i]->text.append(reinterpret_cast<const char*>(buffer), *n);
        }
    }
    // Whatever happened to the pipes, the child is reaped.
    child.out.reset();
    child.err.reset();
    const auto status = sys::wait_process(child.pid);
    captured.success = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    return captured;
}

}  // namespace ruk
