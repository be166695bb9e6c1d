// Which processes run below which: the tree that the agent pass walks from
// each window's root process, once per tick.
//
// The children of a process are read from the system the first time the walk
// asks for them and kept for the rest of the tick, so a tick costs only the
// processes below the windows (and never those below an agent, which the walk
// does not enter) instead of every process on the machine.
#pragma once

#include <sys/types.h>

#include <functional>
#include <span>
#include <unordered_map>
#include <vector>

#include "sys/sys.h"

namespace ruk {

class ProcessTree {
public:
    using ChildLister = std::function<std::vector<pid_t>(pid_t)>;

    // Children from the lister, asked at most once per process.
    explicit ProcessTree(ChildLister lister);
    // Children from one list of (pid, parent) pairs, as a snapshot of the
    // whole system gives them; entries with pid 0 are left out.
    static ProcessTree from_snapshot(std::span<const sys::ProcessEntry> entries);

    // The direct children of a process, ascending; empty when it has none or
    // cannot be read.
    const std::vector<pid_t>& children(pid_t pid) const;

private:
    ChildLister m_lister;  // empty: everything is in m_children already
    mutable std::unordered_map<pid_t, std::vector<pid_t>> m_children;
};

// The tree of the running system for one tick.
ProcessTree build_process_tree();

}  // namespace ruk
