#include "update/curl.h"

#include <cstring>

#include "texts.h"
#include "update/capture.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {

std::vector<std::string> curl_command(const std::vector<std::string>& extra) {
    std::vector<std::string> argv{"curl", "-fsSL", "--max-time", "120", "-A", "ruk/" + std::string(RELEASE)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

std::string curl_failure(std::string_view err) {
    const std::string text = lenient_utf8(err);
    const std::string_view trimmed = trim_white_space(text);
    if (trimmed.empty()) return "curl failed";
    const size_t newline = trimmed.rfind('\n');
    return std::string(newline == std::string_view::npos ? trimmed : trimmed.substr(newline + 1));
}

Result<std::string> run_curl(const std::vector<std::string>& extra) {
    auto ran = run_captured(curl_command(extra), ErrorOutput::Capture);
    if (!ran) {
        const Error& e = ran.error();
        return fail("can't run curl: " + (e.code ? std::string(std::strerror(e.code)) : e.message), e.code);
    }
    if (!ran->success) return fail(curl_failure(ran->err));
    return std::move(ran->out);
}

}  // namespace ruk
