#include "procs/process_tree.h"

#include <algorithm>

namespace ruk {

ProcessTree::ProcessTree(ChildLister lister) : m_lister(std::move(lister)) {}

ProcessTree ProcessTree::from_snapshot(std::span<const sys::ProcessEntry> entries) {
    ProcessTree tree(nullptr);
    for (const auto& entry : entries)
        if (entry.pid != 0) tree.m_children[entry.parent].push_back(entry.pid);
    for (auto& [parent, children] : tree.m_children) std::sort(children.begin(), children.end());
    return tree;
}

const std::vector<pid_t>& ProcessTree::children(pid_t pid) const {
    static const std::vector<pid_t> NONE;
    if (auto it = m_children.find(pid); it != m_children.end()) return it->second;
    if (!m_lister) return NONE;
    std::vector<pid_t> children = m_lister(pid);
    std::sort(children.begin(), children.end());
    children.erase(std::unique(children.begin(), children.end()), children.end());
    return m_children.emplace(pid, std::move(children)).first->second;
}

ProcessTree build_process_tree() { return ProcessTree(sys::process_children); }

}  // namespace ruk
