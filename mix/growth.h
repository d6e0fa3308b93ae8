// Storage growth shared by mix mode's buffers: they keep their storage from
// one use to the next, so a long run allocates only a handful of times.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// Room for at least `needed` elements: when the storage is too small it
// becomes max(needed, 1.5 x capacity). Never shrinks. reserve() is used
// because the library's own growth factor (2 in libstdc++) is not ours.
template <typename T>
void ReserveForGrowth(std::vector<T>& buffer, size_t needed) {
    if (needed <= buffer.capacity()) return;
    buffer.reserve(std::max(needed, buffer.capacity() + buffer.capacity() / 2));
}
