// The notifiers' command lines byte for byte, the terminal sequence's
// sanitising, the choice of notifier, the setting file, and real programs
// started (and failing to start) without blocking.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "notify/notify.h"
#include "protocol/messages.h"
#include "server/server.h"
#include "server/window.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;

std::string text_of(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(Notify, Base64AndUtf16MatchTheStandards) {
    // RFC 4648's vectors, padding included.
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},           {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\x80", "//6A"},
    };
    for (const auto& [in, want] : vectors) EXPECT_EQ(base64_encode(in), want) << in;
    // A surrogate pair for the character outside the first plane.
    EXPECT_EQ(utf16le("a€😀"), (std::vector<uint8_t>{97, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}));
}

TEST(Notify, PowerShellToastCarriesTitleAndBodyAsBase64Utf8) {
    const std::string title = "proj-claude needs input", body = "proj (main) — «ü» 😀";
    const std::string script =
        "$m = [Windows.UI.Notifications.ToastNotificationManager, Windows.UI.Notifications, ContentType = "
        "WindowsRuntime]\n"
        "$x = $m::GetTemplateContent([Windows.UI.Notifications.ToastTemplateType]::ToastText02)\n"
        "$t = $x.GetElementsByTagName('text')\n"
        "[void]$t.Item(0).AppendChild($x.CreateTextNode([Text.Encoding]::UTF8.GetString([Convert]::FromBase64String("
        "'cHJvai1jbGF1ZGUgbmVlZHMgaW5wdXQ='))))\n"
        "[void]$t.Item(1).AppendChild($x.CreateTextNode([Text.Encoding]::UTF8.GetString([Convert]::FromBase64String("
        "'cHJvaiAobWFpbikg4oCUIMKrw7zCuyDwn5iA'))))\n"
        "$m::CreateToastNotifier('{1AC14E77-02E7-4E5D-B744-2EB1AE5198B7}\\WindowsPowerShell\\v1.0\\powershell.exe')"
        ".Show([Windows.UI.Notifications.ToastNotification]::new($x))";
    EXPECT_EQ(powershell_toast_script(title, body), script);

    // The script as UTF-16LE in Base64, computed independently.
    const std::string encoded =
        "JABtACAAPQAgAFsAVwBpAG4AZABvAHcAcwAuAFUASQAuAE4AbwB0AGkAZgBpAGMAYQB0AGkAbwBuAHMALgBUAG8AYQBzAHQATgBv"
        "AHQAaQBmAGkAYwBhAHQAaQBvAG4ATQBhAG4AYQBnAGUAcgAsACAAVwBpAG4AZABvAHcAcwAuAFUASQAuAE4AbwB0AGkAZgBpAGMA"
        "YQB0AGkAbwBuAHMALAAgAEMAbwBuAHQAZQBuAHQAVAB5AHAAZQAgAD0AIABXAGkAbgBkAG8AdwBzAFIAdQBuAHQAaQBtAGUAXQAK"
        "ACQAeAAgAD0AIAAkAG0AOgA6AEcAZQB0AFQAZQBtAHAAbABhAHQAZQBDAG8AbgB0AGUAbgB0ACgAWwBXAGkAbgBkAG8AdwBzAC4A"
        "VQBJAC4ATgBvAHQAaQBmAGkAYwBhAHQAaQBvAG4AcwAuAFQAbwBhAHMAdABUAGUAbQBwAGwAYQB0AGUAVAB5AHAAZQBdADoAOgBU"
        "AG8AYQBzAHQAVABlAHgAdAAwADIAKQAKACQAdAAgAD0AIAAkAHgALgBHAGUAdABFAGwAZQBtAGUAbgB0AHMAQgB5AFQAYQBnAE4A"
        "YQBtAGUAKAAnAHQAZQB4AHQAJwApAAoAWwB2AG8AaQBkAF0AJAB0AC4ASQB0AGUAbQAoADAAKQAuAEEAcABwAGUAbgBkAEMAaABp"
        "AGwAZAAoACQAeAAuAEMAcgBlAGEAdABlAFQAZQB4AHQATgBvAGQAZQAoAFsAVABlAHgAdAAuAEUAbgBjAG8AZABpAG4AZwBdADoA"
        "OgBVAFQARgA4AC4ARwBlAHQAUwB0AHIAaQBuAGcAKABbAEMAbwBuAHYAZQByAHQAXQA6ADoARgByAG8AbQBCAGEAcwBlADYANABT"
        "AHQAcgBpAG4AZwAoACcAYwBIAEoAdgBhAGkAMQBqAGIARwBGADEAWgBHAFUAZwBiAG0AVgBsAFoASABNAGcAYQBXADUAdwBkAFgA"
        "UQA9ACcAKQApACkAKQAKAFsAdgBvAGkAZABdACQAdAAuAEkAdABlAG0AKAAxACkALgBBAHAAcABlAG4AZABDAGgAaQBsAGQAKAAk"
        "AHgALgBDAHIAZQBhAHQAZQBUAGUAeAB0AE4AbwBkAGUAKABbAFQAZQB4AHQALgBFAG4AYwBvAGQAaQBuAGcAXQA6ADoAVQBUAEYA"
        "OAAuAEcAZQB0AFMAdAByAGkAbgBnACgAWwBDAG8AbgB2AGUAcgB0AF0AOgA6AEYAcgBvAG0AQgBhAHMAZQA2ADQAUwB0AHIAaQBu"
        "AGcAKAAnAGMASABKAHYAYQBpAEEAbwBiAFcARgBwAGIAaQBrAGcANABvAEMAVQBJAE0ASwByAHcANwB6AEMAdQB5AEQAdwBuADUA"
        "aQBBACcAKQApACkAKQAKACQAbQA6ADoAQwByAGUAYQB0AGUAVABvAGEAcwB0AE4AbwB0AGkAZgBpAGUAcgAoACcAewAxAEEAQwAx"
        "ADQARQA3ADcALQAwADIARQA3AC0ANABFADUARAAtAEIANwA0ADQALQAyAEUAQgAxAEEARQA1ADEAOQA4AEIANwB9AFwAVwBpAG4A"
        "ZABvAHcAcwBQAG8AdwBlAHIAUwBoAGUAbABsAFwAdgAxAC4AMABcAHAAbwB3AGUAcgBzAGgAZQBsAGwALgBlAHgAZQAnACkALgBT"
        "AGgAbwB3ACgAWwBXAGkAbgBkAG8AdwBzAC4AVQBJAC4ATgBvAHQAaQBmAGkAYwBhAHQAaQBvAG4AcwAuAFQAbwBhAHMAdABOAG8A"
        "dABpAGYAaQBjAGEAdABpAG8AbgBdADoAOgBuAGUAdwAoACQAeAApACkA";
    EXPECT_EQ(notifier_arguments(NotifierKind::PowerShell, title, body),
              (std::vector<std::string>{"-NoProfile", "-NonInteractive", "-EncodedCommand", encoded}));
}

TEST(Notify, NotifySendAndOsascriptArguments) {
    struct Case {
        std::string_view in, escaped;
    };
    const Case cases[] = {
        {"a & b <i>x</i>", "a &amp; b &lt;i&gt;x&lt;/i&gt;"},
        {"&lt; stays text", "&amp;lt; stays text"},  // "&" first, or the entity would be undone
        {"plain ü", "plain ü"},
    };
    for (const auto& c : cases) EXPECT_EQ(escape_markup(c.in), c.escaped) << c.in;

    EXPECT_EQ(notifier_arguments(NotifierKind::NotifySend, "-t <b>", "x&y"),
              (std::vector<std::string>{"--app-name=ruk", "--", "-t &lt;b&gt;", "x&amp;y"}));
    // osascript gets the texts as they are: they are arguments, not script.
    EXPECT_EQ(notifier_arguments(NotifierKind::Osascript, "a \"b\" <c>", "d"),
              (std::vector<std::string>{"-e", "on run argv", "-e",
                                        "display notification (item 2 of argv) with title (item 1 of argv)", "-e",
                                        "end run", "--", "a \"b\" <c>", "d"}));
    EXPECT_TRUE(notifier_arguments(NotifierKind::Terminal, "a", "b").empty());
}

TEST(Notify, TerminalSequenceCannotBeEndedOrExtendedByItsTexts) {
    struct Case {
        std::string_view title, body, want;
    };
    const Case cases[] = {
        {"ruk test", "body", "\x1b]777;notify;ruk test;body\x1b\\"},
        {"a;b", "c;d", "\x1b]777;notify;a b;c d\x1b\\"},
        // ESC, BEL, DEL, tab, LF and the C1 controls (U+0085, U+009C) each become one blank.
        {"x\x1b\\y\x07", "1\t2\n3\x7f" "4\u0085" "5\u009c" "6", "\x1b]777;notify;x \\y ;1 2 3 4 5 6\x1b\\"},
        {"é ✓ 😀", "\u00a0kept", "\x1b]777;notify;é ✓ 😀;\u00a0kept\x1b\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(osc777_sequence(c.title, c.body), c.want) << c.title;
}

TEST(Notify, DisplayNames) {
    const std::pair<NotifierKind, std::string_view> names[] = {
        {NotifierKind::PowerShell, "Windows notifications"},
        {NotifierKind::NotifySend, "notify-send"},
        {NotifierKind::Osascript, "Notification Center"},
        {NotifierKind::Terminal, "the terminal (OSC 777)"},
    };
    for (const auto& [kind, name] : names) EXPECT_EQ(notifier_display_name({kind, "x"}), name);
}

class NotifyFiles : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedEnv config{"XDG_CONFIG_HOME", dir / "cfg"};
    std::string setting() const { return dir / "cfg/ruk/notify"; }

    // An executable script in dir/bin.
    void program(const std::string& name, const std::string& body) {
        ::mkdir((dir / "bin").c_str(), 0755);
        const std::string path = dir / ("bin/" + name);
        test::write_file(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
    }
};

TEST_F(NotifyFiles, SettingFileIsOnUnlessItSaysExactlyOff) {
    EXPECT_TRUE(notifications_enabled()) << "no file";
    ASSERT_TRUE(set_notifications_enabled(false)) << "creates the missing directories";
    EXPECT_EQ(test::read_file(setting()), "off\n");
    EXPECT_FALSE(notifications_enabled());

    struct Case {
        std::string_view content;
        bool on;
    };
    const Case cases[] = {
        {"off", false}, {"  off\r\n\t", false}, {"Off", true}, {"OFF\n", true},
        {"off off", true}, {"", true}, {"on", true}, {"of", true},
    };
    for (const auto& c : cases) {
        test::write_file(setting(), std::string(c.content));
        EXPECT_EQ(notifications_enabled(), c.on) << '"' << c.content << '"';
    }

    ASSERT_TRUE(set_notifications_enabled(true));
    EXPECT_NE(::access(setting().c_str(), F_OK), 0) << "on removes the file";
    EXPECT_TRUE(set_notifications_enabled(true)) << "a missing file is no error";

    // Unreadable: a directory where the file should be counts as on.
    ASSERT_EQ(::mkdir(setting().c_str(), 0755), 0);
    EXPECT_TRUE(notifications_enabled());
    auto off = set_notifications_enabled(false);
    ASSERT_FALSE(off);
    EXPECT_NE(off.error().message.find(setting()), std::string::npos) << off.error().message;
}

TEST_F(NotifyFiles, SettingCannotBeStoredUnderAFile) {
    test::ScopedEnv config_file{"XDG_CONFIG_HOME", dir / "plain"};
    test::write_file(dir / "plain", "x");
    auto off = set_notifications_enabled(false);
    ASSERT_FALSE(off);
    EXPECT_NE(off.error().message.find("plain"), std::string::npos) << off.error().message;
}

TEST_F(NotifyFiles, ChoiceFollowsPathAndTheGraphicalSession) {
    if (::access("/proc/sys/fs/binfmt_misc/WSLInterop", F_OK) == 0 ||
        ::access("/proc/sys/fs/binfmt_misc/WSLInterop-late", F_OK) == 0)
        GTEST_SKIP() << "under WSL the toast wins";
    program("notify-send", "exit 0");
    test::ScopedEnv path{"PATH", dir / "bin"};
    struct Case {
        const char* variable;  // the one desktop variable set, or none
        NotifierKind want;
    };
    const Case cases[] = {
        {nullptr, NotifierKind::Terminal},
        {"DISPLAY", NotifierKind::NotifySend},
        {"WAYLAND_DISPLAY", NotifierKind::NotifySend},
        {"DBUS_SESSION_BUS_ADDRESS", NotifierKind::NotifySend},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable ? c.variable : "none");
        test::ScopedEnv display{"DISPLAY", std::nullopt}, wayland{"WAYLAND_DISPLAY", std::nullopt},
            dbus{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
        std::optional<test::ScopedEnv> set;
        if (c.variable) set.emplace(c.variable, ":9");
        const Notifier got = choose_notifier();
        EXPECT_EQ(got.kind, c.want);
        if (c.want == NotifierKind::NotifySend) {
            EXPECT_EQ(got.program, dir / "bin/notify-send");
        }
    }
    // A desktop without notify-send on PATH: the terminal.
    {
        test::ScopedEnv display{"DISPLAY", ":9"}, empty_path{"PATH", dir / "nothing"};
        EXPECT_EQ(choose_notifier().kind, NotifierKind::Terminal);
    }
    // powershell.exe on PATH comes first.
    program("powershell.exe", "exit 0");
    test::ScopedEnv display{"DISPLAY", ":9"};
    EXPECT_EQ(choose_notifier(), (Notifier{NotifierKind::PowerShell, dir / "bin/powershell.exe"}));
}

TEST_F(NotifyFiles, NotifySendIsRunWithItsArgumentsAndAnEmptyBodyBecomesRuk) {
    // The fake records its arguments NUL-separated, then marks that it is done
    // (with builtins only: PATH holds nothing else).
    program("notify-send", "printf '%s\\0' \"$@\" > \"$0.args\"; : > \"$0.done\"");
    test::ScopedEnv path{"PATH", dir / "bin"}, display{"DISPLAY", ":9"};
    Server server;
    server.notifier = choose_notifier();
    ASSERT_EQ(server.notifier.kind, NotifierKind::NotifySend);

    auto arguments = [&] {
        const std::string raw = test::read_file(dir / "bin/notify-send.args");
        std::vector<std::string> out;
        for (size_t i = 0; i < raw.size();) {
            const size_t end = raw.find('\0', i);
            out.push_back(raw.substr(i, end - i));
            i = end + 1;
        }
        return out;
    };
    send_notification(server, "2 agents need attention", "a <b> needs input\nc & d is done");
    ASSERT_TRUE(test::wait_for([&] { return ::access((dir / "bin/notify-send.done").c_str(), F_OK) == 0; }));
    EXPECT_EQ(arguments(), (std::vector<std::string>{"--app-name=ruk", "--", "2 agents need attention",
                                                     "a &lt;b&gt; needs input\nc &amp; d is done"}));

    ::unlink((dir / "bin/notify-send.done").c_str());
    send_notification(server, "fix-codex is done", "");
    ASSERT_TRUE(test::wait_for([&] { return ::access((dir / "bin/notify-send.done").c_str(), F_OK) == 0; }));
    EXPECT_EQ(arguments(), (std::vector<std::string>{"--app-name=ruk", "--", "fix-codex is done", "ruk"}));
}

TEST(NotifyPrograms, AProgramThatCannotStartLeavesALogLine) {
    Server server;
    server.notifier = {NotifierKind::NotifySend, "/nonexistent/notify-send"};
    ::testing::internal::CaptureStderr();
    send_notification(server, "t", "b");
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.rfind("ruk: couldn't show a notification: ", 0), 0u) << log;
    EXPECT_NE(log.find("/nonexistent/notify-send"), std::string::npos) << log;
    EXPECT_EQ(log.back(), '\n');
}

TEST(NotifyPrograms, TheTerminalNotifierWritesToTheAttachedClientOnly) {
    Server server;
    server.notifier = {NotifierKind::Terminal, ""};
    send_notification(server, "nobody", "attached");  // dropped, quietly

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd theirs(pair[1]);
    server.client.emplace();
    server.client->queue = std::make_unique<protocol::OutboundQueue>(Fd(pair[0]));
    send_notification(server, "a;b", "");

    protocol::FrameReader reader(theirs.get());
    auto message = protocol::read_server_message(reader);
    ASSERT_TRUE(message && *message);
    const auto* output = std::get_if<protocol::server::Output>(&**message);
    ASSERT_TRUE(output);
    EXPECT_EQ(text_of(output->bytes), "\x1b]777;notify;a b;ruk\x1b\\");
}

}  // namespace
}  // namespace ruk
