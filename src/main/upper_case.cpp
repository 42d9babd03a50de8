// Upper-case mapping by binary search in a table generated from the Unicode Character
// Database (tools/gen_upper_case.py), so no locale, ctype or Windows casing is involved.
#include "main/upper_case.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace velbro {
namespace {

struct UpperRun {
    char32_t first;
    std::uint16_t count;
    std::uint8_t stride;
    std::int32_t delta;
};

struct UpperMulti {
    char32_t from;
    char32_t to[3];
};

#include "main/upper_case_table.inc"

}  // namespace

std::size_t full_upper_case(char32_t c, char32_t out[3]) {
    const auto multi = std::lower_bound(std::begin(UPPER_MULTI), std::end(UPPER_MULTI), c,
                                        [](const UpperMulti& m, char32_t v) { return m.from < v; });
    if (multi != std::end(UPPER_MULTI) && multi->from == c) {
        std::copy(std::begin(multi->to), std::end(multi->to), out);
        return multi->to[2] != 0 ? 3 : 2;
    }
    out[0] = c;
    // The run that starts last at or before c; c maps only if it is one of the run's members.
    const auto run = std::upper_bound(std::begin(UPPER_RUNS), std::end(UPPER_RUNS), c,
                                      [](char32_t v, const UpperRun& r) { return v < r.first; });
    if (run != std::begin(UPPER_RUNS)) {
        const UpperRun& r = *std::prev(run);
        const char32_t offset = c - r.first;
        if (offset % r.stride == 0 && offset / r.stride < r.count) {
            out[0] = static_cast<char32_t>(static_cast<std::int32_t>(c) + r.delta);
        }
    }
    return 1;
}

}  // namespace velbro
