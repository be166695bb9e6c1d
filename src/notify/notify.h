// Desktop notifications: which notifier this machine has, the on/off setting
// kept in the config directory, and showing one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace ruk {

struct Server;

enum class NotifierKind { PowerShell, NotifySend, Osascript, Terminal };

// How this server shows notifications; chosen once, at start.
struct Notifier {
    NotifierKind kind = NotifierKind::Terminal;
    std::string program;  // the program to run; empty for the terminal
    bool operator==(const Notifier&) const = default;
};

// First match wins: powershell.exe on PATH; under WSL, powershell.exe on PATH
// or in its usual Windows place; notify-send on PATH with a graphical session
// (DBUS_SESSION_BUS_ADDRESS, DISPLAY or WAYLAND_DISPLAY set); else the
// terminal. A macOS build prefers osascript to the terminal.
Notifier choose_notifier();

// "Windows notifications", "notify-send", "Notification Center" or
// "the terminal (OSC 777)".
std::string_view notifier_display_name(const Notifier& notifier);
std::string notifier_name(const Server& server);

// The setting file: config_dir/"notify". Read anew on every call; on unless
// it says exactly "off" (blanks around it aside), and on when unreadable.
bool notifications_enabled();
// Off writes "off\n" (creating the directory); on removes the file.
Result<void> set_notifications_enabled(bool on);

// Shows one notification through the server's notifier, whatever the setting.
// An empty body becomes "ruk". Programs are started without waiting for them;
// a program that cannot start leaves a line in the server log. Through the
// terminal it goes to the attached client, or nowhere.
void send_notification(Server& server, const std::string& title, const std::string& body);

// The pieces, for the notifiers' command lines.
std::string base64_encode(std::span<const uint8_t> bytes);
inline std::string base64_encode(std::string_view text) {
    return base64_encode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
// UTF-16 little-endian, as PowerShell's -EncodedCommand wants it.
std::vector<uint8_t> utf16le(std::string_view utf8);
// The six-line toast script that carries title and body as Base64 UTF-8.
std::string powershell_toast_script(std::string_view title, std::string_view body);
// "&", "<" and ">" as entities; notify-send reads body markup.
std::string escape_markup(std::string_view text);
// The arguments after the program for the three program notifiers (none for
// the terminal).
std::vector<std::string> notifier_arguments(NotifierKind kind, std::string_view title, std::string_view body);
// ESC ] 777 ; notify ; T ; B ESC \, with control characters and ";" in T and
// B turned into blanks so neither can end or extend the sequence.
std::string osc777_sequence(std::string_view title, std::string_view body);

}  // namespace ruk
