// Room in a list that is extended many times by amounts known ahead.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tovrik::core {

/// Makes room in `v` for n more elements. When the capacity must grow it at
/// least doubles, so that a run of calls moves each element a bounded number of
/// times in all however many calls there are: reserving exactly size + n on
/// every call would move everything kept so far on every call.
template <class Vector>
void reserve_more(Vector& v, std::size_t n) {
    const std::size_t need = v.size() + n;
    if (need <= v.capacity()) return;
    v.reserve(std::max(need, 2 * v.capacity()));
}

}  // namespace tovrik::core
