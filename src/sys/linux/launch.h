// What every way of starting a program shares: argument and environment
// arrays built before fork, the pipe over which a child reports the step that
// failed before exec, and the clean slate a child starts from (default signal
// dispositions, nothing blocked, no inherited descriptors above 2).
//
// The server forks while other threads may hold locks (the allocator's among
// them), so a child calls only async-signal-safe functions between fork and
// exec: no allocation, no stdio, no locks. Everything it needs is built
// before fork.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "util/fd.h"
#include "util/result.h"

namespace ruk::sys::launch {

// A NULL-terminated array of C strings that owns its texts.
class CStrings {
public:
    explicit CStrings(const std::vector<std::string>& items);
    CStrings(const CStrings&) = delete;
    CStrings& operator=(const CStrings&) = delete;
    char* const* get() const { return m_pointers.data(); }

private:
    std::vector<std::string> m_items;
    std::vector<char*> m_pointers;
};

// The step of a child's set-up that failed, as reported to the parent.
enum class Step : int { Exec = 1, Session, ControllingTerminal, Streams, Directory, Fork };

struct Report {
    Step step = Step::Exec;
    int error = 0;
};

// Moves a descriptor to a number above 2 (keeping O_CLOEXEC), so that a child
// can dup2 it onto a standard stream without clobbering another source.
Result<Fd> above_stdio(Fd fd);

// A CLOEXEC pipe: the child writes a Report to `write` when a step fails; a
// successful exec closes it, and the parent reads end of file.
struct ReportPipe {
    Fd read, write;
};
Result<ReportPipe> report_pipe();

// Reads the child's report after the parent closed its write end: nullopt when
// the program was started.
std::optional<Report> read_report(int fd);

// "cannot start PROGRAM: ..." for a report.
Error start_error(const std::string& program, const Report& report, const std::string& directory = "");

// Blocks every signal in the calling thread for its life, so that no handler
// runs in a child before the child has reset the dispositions.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t m_old;
};

// The highest descriptor number worth closing when close_range is missing;
// read before fork.
int descriptor_limit();

// ---- only between fork and exec -----------------------------------------------

// Closes every descriptor above 2 except `keep` (which must be above 2).
void close_descriptors_except(int keep, int limit);
// Default dispositions for every signal and an empty signal mask.
void reset_signals();
// Moves `from` onto `to`, clearing O_CLOEXEC on the copy.
bool move_onto(int from, int to);
// Writes the report and ends the child with status 127.
[[noreturn]] void report_and_exit(int fd, Step step, int error);

}  // namespace ruk::sys::launch
