// Checks that the list of references an intake keeps, extended column by column
// through reserve_more, moves each kept reference a bounded number of times in
// all, whatever the number of columns.
#include <cstdio>
#include <vector>

#include "core/growth.hpp"

namespace {

long long moves = 0;

// A kept reference that counts how often the list moves it.
struct Kept {
    void* p = nullptr;
    Kept() = default;
    Kept(Kept&& o) noexcept : p(o.p) { ++moves; }
    Kept(const Kept& o) : p(o.p) { ++moves; }
    Kept& operator=(const Kept&) = default;
    Kept& operator=(Kept&&) noexcept = default;
};

}  // namespace

int main() {
    struct Shape {
        long long columns, rows;
    };
    // As an object array or a frame is read: room for one column's cells, then
    // one reference per cell.
    const Shape shapes[] = {{8, 25000}, {4000, 50}, {20000, 1}, {3, 0}, {1, 1}};
    int failures = 0;
    for (const Shape& s : shapes) {
        moves = 0;
        std::vector<Kept> kept;
        for (long long c = 0; c < s.columns; ++c) {
            tovrik::core::reserve_more(kept, std::size_t(s.rows));
            for (long long r = 0; r < s.rows; ++r) kept.emplace_back();
        }
        const long long cells = s.columns * s.rows;
        // Each growth moves what the list holds, at most its capacity, and
        // the capacity at least doubles each time: all moves together stay
        // below twice the final capacity, itself at most twice the cells.
        if (moves > 2 * cells) {
            std::printf("FAIL %lld columns x %lld rows: %lld moves of %lld kept references\n", s.columns, s.rows,
                        moves, cells);
            ++failures;
        }
    }
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
