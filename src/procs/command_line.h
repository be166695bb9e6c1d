// Command lines that arrive as one string, as Windows gives them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ruk {

// Splits one command-line string into arguments the way Windows programs do
// (the C runtime's rules): the program name ends at the first blank or tab,
// or is everything between a leading pair of double quotes, taken literally;
// then quotes group, "" inside quotes is a literal quote, and 2n backslashes
// before a quote are n backslashes (2n+1: n and a literal quote). Linux hands
// the arguments over already split; this is for command lines read as one
// string.
std::vector<std::string> split_windows_command_line(std::string_view line);

}  // namespace ruk
