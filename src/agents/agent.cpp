#include "agents/agent.h"

namespace ruk {

std::string_view runtime_name(Runtime runtime) {
    switch (runtime) {
        case Runtime::Claude: return "claude";
        case Runtime::Codex: return "codex";
        case Runtime::Opencode: return "opencode";
        case Runtime::Pi: return "pi";
        case Runtime::Grok: return "grok";
        case Runtime::Other: break;
    }
    return "agent";
}

std::optional<Runtime> runtime_of_name(std::string_view name) {
    if (name == "claude") return Runtime::Claude;
    if (name == "codex" || name.starts_with("codex-")) return Runtime::Codex;
    if (name == "opencode") return Runtime::Opencode;
    if (name == "pi") return Runtime::Pi;
    if (name == "grok" || name.starts_with("grok-linux-")) return Runtime::Grok;
    return std::nullopt;
}

Result<Runtime> parse_runtime(std::string_view text) {
    for (Runtime r : {Runtime::Claude, Runtime::Codex, Runtime::Opencode, Runtime::Pi, Runtime::Grok})
        if (text == runtime_name(r)) return r;
    return fail("unknown runtime '" + std::string(text) + "' (use one of: claude, codex, opencode, pi, grok)");
}

}  // namespace ruk
