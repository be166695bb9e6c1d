// The upgrade offer: every newer client offers its build to the running
// server. This server never switches executables; it says whether it is
// current or keeps running the old build until it is restarted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ruk {

struct ReplyText {
    bool ok = false;
    std::string text;
};

// Client side: the server's answer, or nullopt when there is no server or it
// did not answer with a Reply. Never starts a server, never fails loudly.
std::optional<std::string> offer_upgrade(const std::string& executable, uint64_t build);
// The offer with this process's own executable and build; the answer is ignored.
void offer_own_build();

// Server side, for the Command ["__upgrade", BUILD, PATH].
ReplyText answer_upgrade(const std::vector<std::string>& args);

// An optional "+" then 1 or more ASCII digits, within 64 bits.
std::optional<uint64_t> parse_decimal_u64(std::string_view text);

}  // namespace ruk
