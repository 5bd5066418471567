// A list of distinct non-negative integers kept together with each one's place in it
// (place[item], -1 while it is not there), so that putting one in, taking one out and walking the
// list cost nothing that grows with the range of the items: the few offsets, positions or rows
// that differ now among the many of a large board. Lists whose items never meet may share one
// place array.
#pragma once

#include <cstddef>
#include <vector>

namespace kora::vbench {

// Puts `item` into the list or takes it out (the last item takes its place); true when that
// changed the list.
inline bool SetMember(std::vector<int>& list, std::vector<int>& place, int item, bool member) {
    int& at = place[static_cast<std::size_t>(item)];
    if (member == (at >= 0)) {
        return false;
    }
    if (member) {
        at = static_cast<int>(list.size());
        list.push_back(item);
    } else {
        const int last = list.back();
        list[static_cast<std::size_t>(at)] = last;
        place[static_cast<std::size_t>(last)] = at;
        list.pop_back();
        at = -1;
    }
    return true;
}

} // namespace kora::vbench
