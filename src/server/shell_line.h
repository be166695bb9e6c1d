// The shell every window runs, the command line that starts a plain shell or
// an agent inside it, the quoting of the three shell families, and the
// environment a window's program is given. Pure text work over the server's
// own environment: starting the process is the local windows' job.
//
// An agent runs inside the user's shell rather than on its own, so that the
// window outlives the agent: PowerShell stays by -NoExit, cmd by /k, and a
// POSIX shell replaces itself with a login shell once the agent exits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ruk {

enum class ShellKind { Cmd, PowerShell, Posix };

// The family, from the path's file name without its extension, lower-cased.
// Both "/" and "\" separate directories; a path without a file name is Posix.
ShellKind shell_kind(std::string_view shell_path);

// Chosen once when the server starts: SHELL when it names a regular file,
// then pwsh.exe or powershell.exe on PATH, then COMSPEC, then /bin/sh when
// it exists, and cmd.exe as the last word.
std::string choose_shell();

// Quoted so that the usual Windows command-line splitting gives the text back.
std::string quote_windows_arg(std::string_view text);
// Left bare only when made of ASCII letters, digits and a few safe marks;
// otherwise single-quoted for that shell.
std::string quote_powershell_arg(std::string_view text);
std::string quote_posix_arg(std::string_view text);

// The one-string command line for the shell's family; no args is a plain shell.
std::string build_command_line(std::string_view shell, const std::vector<std::string>& args);

// What a window's child actually executes here: {shell, "-l"}, or with args
// {shell, "-l", "-i", "-c", "ARGS; exec SHELL -l"} with every word POSIX-quoted.
std::vector<std::string> shell_argv(std::string_view shell, const std::vector<std::string>& args);

// Our environment without COLUMNS and LINES, with TERM=xterm-256color,
// RUK=socket path and RUK_WINDOW=number; NAME=VALUE strings ordered by
// upper-cased name.
std::vector<std::string> child_environment(std::string_view socket_path, uint32_t window_number);

}  // namespace ruk
