#include "util/result.h"

#include <cstring>

namespace ruk {

std::unexpected<Error> fail_errno(std::string_view what, int code) {
    std::string message(what);
    message += ": ";
    message += std::strerror(code);
    return std::unexpected(Error{std::move(message), code});
}

std::unexpected<Error> fail_errno(std::string_view what) { return fail_errno(what, errno); }

}  // namespace ruk
