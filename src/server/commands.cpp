#include "server/commands.h"

namespace ruk {

ReplyText run_command(Server&, const std::vector<std::string>& args, std::optional<View>) {
    const std::string word = args.empty() ? std::string() : args[0];
    return {false, "'" + word + "' is not available in this build"};
}

}  // namespace ruk
