// The notifiers and the notification setting. Notification programs are
// started and left alone: a detached thread reaps each one, so a slow or
// hanging notifier never holds up the event loop. Their command lines carry
// the title and body as separate arguments (or Base64 inside the PowerShell
// script), never through a shell, so no text can become a command.
#include "notify/notify.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "paths.h"
#include "protocol/messages.h"
#include "server/server.h"
#include "sys/sys.h"
#include "util/fd.h"
#include "util/log.h"
#include "util/setting_file.h"
#include "util/utf8.h"

namespace ruk {

namespace {

constexpr std::string_view WSL_INTEROP[] = {"/proc/sys/fs/binfmt_misc/WSLInterop",
                                            "/proc/sys/fs/binfmt_misc/WSLInterop-late"};
constexpr std::string_view WSL_POWERSHELL = "/mnt/c/Windows/System32/WindowsPowerShell/v1.0/powershell.exe";

bool exists(std::string_view path) { return ::access(std::string(path).c_str(), F_OK) == 0; }

bool has_graphical_session() {
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"})
        if (sys::env(name)) return true;
    return false;
}

std::string setting_path() { return join_path(config_dir(), "notify"); }

std::string osc_field(std::string_view text) {
    const std::string valid = lenient_utf8(text);
    std::string out;
    out.reserve(valid.size());
    for (size_t i = 0; i < valid.size();) {
        const auto [cp, len] = decode_utf8_at(valid, i);
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == ';') out += ' ';
        else out.append(valid, i, len);
        i += len;
    }
    return out;
}

std::string powershell_text(std::string_view text) {
    return "[Text.Encoding]::UTF8.GetString([Convert]::FromBase64String('" + base64_encode(text) + "'))";
}

void start_program(const std::string& program, std::vector<std::string> arguments) {
    sys::ChildOptions options;
    options.argv.push_back(program);
    for (auto& a : arguments) options.argv.push_back(std::move(a));
    auto child = sys::spawn_process(options);
    if (!child) {
        log_line("couldn't show a notification: " + child.error().message);
        return;
    }
    std::thread([pid = child->pid] { sys::wait_process(pid); }).detach();
}

}  // namespace

Notifier choose_notifier() {
    if (auto path = find_on_path("powershell.exe")) return {NotifierKind::PowerShell, *path};
    // Under WSL, Windows' PowerShell may be off PATH at its usual place.
    if ((exists(WSL_INTEROP[0]) || exists(WSL_INTEROP[1])) && exists(WSL_POWERSHELL))
        return {NotifierKind::PowerShell, std::string(WSL_POWERSHELL)};
    if (has_graphical_session()) {
        if (auto path = find_on_path("notify-send")) return {NotifierKind::NotifySend, *path};
    }
#ifdef __APPLE__
    if (auto path = find_on_path("osascript")) return {NotifierKind::Osascript, *path};
#endif
    return {NotifierKind::Terminal, ""};
}

std::string_view notifier_display_name(const Notifier& notifier) {
    switch (notifier.kind) {
    case NotifierKind::PowerShell: return "Windows notifications";
    case NotifierKind::NotifySend: return "notify-send";
    case NotifierKind::Osascript: return "Notification Center";
    case NotifierKind::Terminal: break;
    }
    return "the terminal (OSC 777)";
}

std::string notifier_name(const Server& server) { return std::string(notifier_display_name(server.notifier)); }

bool notifications_enabled() { return !setting_is_off(setting_path()); }

Result<void> set_notifications_enabled(bool on) { return write_setting(setting_path(), on); }

void send_notification(Server& server, const std::string& title, const std::string& body_text) {
    const std::string body = body_text.empty() ? "ruk" : body_text;
    const Notifier& notifier = server.notifier;
    if (notifier.kind != NotifierKind::Terminal) {
        start_program(notifier.program, notifier_arguments(notifier.kind, title, body));
        return;
    }
    if (!server.client || !server.client->queue) return;
    const std::string sequence = osc777_sequence(title, body);
    server.client->queue->send(
        protocol::encode_server_message(protocol::server::Output{{sequence.begin(), sequence.end()}}));
}

std::string base64_encode(std::span<const uint8_t> bytes) {
    constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int shift : {18, 12, 6, 0}) out += ALPHABET[(v >> shift) & 0x3F];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (rest == 2) v |= uint32_t(bytes[i + 1]) << 8;
        out += ALPHABET[(v >> 18) & 0x3F];
        out += ALPHABET[(v >> 12) & 0x3F];
        out += rest == 2 ? ALPHABET[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

std::vector<uint8_t> utf16le(std::string_view utf8) {
    const std::string valid = lenient_utf8(utf8);
    std::vector<uint8_t> out;
    out.reserve(valid.size() * 2);
    auto unit = [&](char32_t u) {
        out.push_back(uint8_t(u & 0xFF));
        out.push_back(uint8_t(u >> 8));
    };
    for (size_t i = 0; i < valid.size();) {
        const auto [cp, len] = decode_utf8_at(valid, i);
        i += len;
        if (cp < 0x10000) {
            unit(cp);
        } else {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string powershell_toast_script(std::string_view title, std::string_view body) {
    return "$m = [Windows.UI.Notifications.ToastNotificationManager, Windows.UI.Notifications, "
           "ContentType = WindowsRuntime]\n"
           "$x = $m::GetTemplateContent([Windows.UI.Notifications.ToastTemplateType]::ToastText02)\n"
           "$t = $x.GetElementsByTagName('text')\n"
           "[void]$t.Item(0).AppendChild($x.CreateTextNode(" +
           powershell_text(title) +
           "))\n"
           "[void]$t.Item(1).AppendChild($x.CreateTextNode(" +
           powershell_text(body) +
           "))\n"
           "$m::CreateToastNotifier('{1AC14E77-02E7-4E5D-B744-2EB1AE5198B7}\\WindowsPowerShell\\v1.0\\powershell.exe')"
           ".Show([Windows.UI.Notifications.ToastNotification]::new($x))";
}

std::string escape_markup(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::vector<std::string> notifier_arguments(NotifierKind kind, std::string_view title, std::string_view body) {
    switch (kind) {
    case NotifierKind::PowerShell: {
        const auto script = utf16le(powershell_toast_script(title, body));
        return {"-NoProfile", "-NonInteractive", "-EncodedCommand", base64_encode(script)};
    }
    case NotifierKind::NotifySend:
        return {"--app-name=ruk", "--", escape_markup(title), escape_markup(body)};
    case NotifierKind::Osascript:
        return {"-e", "on run argv",
                "-e", "display notification (item 2 of argv) with title (item 1 of argv)",
                "-e", "end run",
                "--", std::string(title), std::string(body)};
    case NotifierKind::Terminal: break;
    }
    return {};
}

std::string osc777_sequence(std::string_view title, std::string_view body) {
    return "\x1b]777;notify;" + osc_field(title) + ";" + osc_field(body) + "\x1b\\";
}

}  // namespace ruk
