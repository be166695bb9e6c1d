#include "update/check_thread.h"

#include <thread>

#include "update/setting.h"

namespace ruk {

void run_release_checks(const std::string& address, const CheckReport& report, const CheckPause& pause) {
    while (true) {
        if (update_checks_enabled() && !report(fetch_manifest(address))) return;
        if (!pause()) return;
    }
}

void start_release_checks(std::string address, CheckReport report) {
    std::thread([address = std::move(address), report = std::move(report)] {
        run_release_checks(address, report, [] {
            std::this_thread::sleep_for(UPDATE_CHECK_PERIOD);
            return true;
        });
    }).detach();
}

}  // namespace ruk
