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

}  // namespace ruk
