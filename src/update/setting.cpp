#include "update/setting.h"

#include "paths.h"
#include "sys/sys.h"
#include "texts.h"
#include "util/setting_file.h"

namespace ruk {

std::optional<std::string> update_source() {
    if (auto address = sys::env("RUK_UPDATE_URL"); address && !address->empty()) return address;
    if (!DEFAULT_UPDATE_URL.empty()) return std::string(DEFAULT_UPDATE_URL);
    return std::nullopt;
}

std::string update_setting_path() { return join_path(config_dir(), "update"); }

bool update_checks_enabled() { return !setting_is_off(update_setting_path()); }

Result<void> set_update_checks_enabled(bool on) { return write_setting(update_setting_path(), on); }

}  // namespace ruk
