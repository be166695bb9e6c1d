#include "util/log.h"

#include <unistd.h>

#include <string>

namespace ruk {

void log_line(std::string_view text) {
    std::string line = "ruk: ";
    line += text;
    line += '\n';
    // One write, so lines from different threads never interleave.
    [[maybe_unused]] auto n = ::write(2, line.data(), line.size());
}

}  // namespace ruk
