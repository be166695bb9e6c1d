#include "texts.h"

#include <cstdio>
#include <ctime>

#ifndef RUK_BUILD_NUMBER_VALUE
#define RUK_BUILD_NUMBER_VALUE 1791213863822ULL
#endif
#ifndef RUK_UPDATE_URL_VALUE
#define RUK_UPDATE_URL_VALUE ""
#endif

namespace ruk {

const uint64_t BUILD_NUMBER = RUK_BUILD_NUMBER_VALUE;
const std::string_view DEFAULT_UPDATE_URL = RUK_UPDATE_URL_VALUE;

const std::string_view USAGE_TEXT =
    "usage: ruk [command]\n"
    "\n"
    "  (no command)   attach to the session, starting it if needed\n"
    "  agents         list running agents: name, window, state, project\n"
    "  name [NAME]    show or set the name of the window this command runs in\n"
    "  rename OLD NEW rename a window (OLD is a name or window number)\n"
    "  swap-window WINDOW [OTHER]\n"
    "                 swap two windows' numbers, or move a window to a free number; OTHER\n"
    "                 defaults to the window this runs in. A window is a number or a name,\n"
    "                 either may be followed by @HOST; both must be on the same machine\n"
    "  send NAME MSG  message an agent; queued until it is idle (MSG of - reads stdin)\n"
    "  new RUNTIME [--name NAME] [--on HOST] [-- ARGS]\n"
    "                 start an agent (claude, codex, opencode, pi, grok) in a new window, in\n"
    "                 this directory; --on starts it on a connected machine (HOST may be\n"
    "                 its short name, e.g. brenk-01). Prints the agent's name.\n"
    "  connect HOST [CMD]  show another machine's windows here, over ssh; CMD is how\n"
    "                 to run ruk there (default: ruk). Saved and reconnected automatically.\n"
    "  disconnect HOST  stop showing a machine\n"
    "  hosts          list connected machines\n"
    "  notify [on|off|test]  desktop notifications when an agent needs input or is done\n"
    "                 (on by default; test sends one to see how they look)\n"
    "  version        show the version of ruk and of the running server; running a newer\n"
    "                 ruk than the server upgrades it in place, keeping every window\n"
    "  update [check|on|off]\n"
    "                 install the latest release (the running server switches to it,\n"
    "                 keeping every window); check only reports; on/off controls the\n"
    "                 server's own checks, which announce new releases in the status bar\n"
    "  kill-server    kill the session and every shell in it";

const std::string_view KEYS_TEXT =
    "keys (prefix is ctrl+b):\n"
    "  prefix c       new window\n"
    "  prefix n / p   next / previous window\n"
    "  prefix 0-9     select window\n"
    "  prefix q       detach\n"
    "  (these act on the machine of the window you are viewing)\n"
    "  prefix a       next agent needing attention on any machine (needs input, then done)\n"
    "  prefix s       switch to any window on any machine: type part of its name, host,\n"
    "                 project or agent (words in any order; name@host narrows to a host),\n"
    "                 listed by machine like the sidebar and by window number; the best\n"
    "                 match is selected,\n"
    "                 arrows or ctrl+n/p to move, enter to go, esc to cancel. It opens on\n"
    "                 the previous window, so prefix s enter goes back. A machine without\n"
    "                 windows is listed too: choosing it opens a shell there.\n"
    "  prefix r       rename the current window (empty name restores the default)\n"
    "  prefix :       run a ruk command for the window you are viewing: swap-window, rename,\n"
    "                 name, send, connect, disconnect or notify (as with ruk on the command\n"
    "                 line); tab completes commands and window names. swap-window 3 swaps\n"
    "                 this window with window 3 on the same machine\n"
    "  prefix [       scroll back through the window's history (also shift+pgup, or the\n"
    "                 mouse wheel); arrows/j/k, pgup/pgdn, u/d, g/G to move, q or esc to leave,\n"
    "                 any other key leaves and is typed into the window\n"
    "  prefix ?       show this help; it scrolls with the same keys, q, esc or ? to leave\n"
    "  prefix ctrl+b  send a literal ctrl+b\n"
    "\n"
    "mouse: click an agent or machine in the sidebar, or a window in the status bar, to switch to it;\n"
    "       the wheel scrolls history (or the program, if it uses the mouse or a full-screen view)";

std::string build_time_text(uint64_t build) {
    const time_t seconds = static_cast<time_t>(build / 1000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    char when[64];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return when;
}

std::string version_line(uint64_t build) {
    return "ruk " + std::string(RELEASE) + " " + std::string(COMMIT_ID) + ", built " + build_time_text(build) + " UTC";
}

std::string version_line() { return version_line(BUILD_NUMBER); }

}  // namespace ruk
