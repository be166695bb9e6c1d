// Failures are values: every operation that can fail returns Result<T>, whose
// error carries one line of text (no newline, no full stop) and the errno when
// the failure came from the system. Only the outermost caller prints it.
#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace ruk {

struct Error {
    std::string message;
    int code = 0;  // errno of the failing call, 0 when the failure is our own
};

template <typename T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message, int code = 0) {
    return std::unexpected(Error{std::move(message), code});
}

// "what: strerror(errno)", keeping errno in the error.
std::unexpected<Error> fail_errno(std::string_view what);
std::unexpected<Error> fail_errno(std::string_view what, int code);

namespace detail {
template <typename T>
T unwrap(Result<T>&& result) { return std::move(*result); }
inline void unwrap(Result<void>&&) {}
}  // namespace detail

}  // namespace ruk

// Early return for Result-returning functions: `auto fd = RUK_TRY(open_it());`
#define RUK_TRY(expr)                                                  \
    ({                                                                 \
        auto ruk_try_result_ = (expr);                                 \
        if (!ruk_try_result_) return std::unexpected(std::move(ruk_try_result_.error())); \
        ::ruk::detail::unwrap(std::move(ruk_try_result_));             \
    })
