#include "text/case_fold.h"

#include <algorithm>
#include <cstring>

namespace tdm {

bool EqualsIgnoreCase(std::string_view first, std::string_view second) noexcept
{
    if (first.size() != second.size())
        return false;

    // Fold in fixed chunks so that comparing never allocates. The names this
    // serves (URL schemes) fit in a single chunk, so a double-byte character is
    // never split between two chunks for them.
    constexpr std::size_t chunk = 64;
    char a[chunk];
    char b[chunk];
    for (std::size_t offset = 0; offset < first.size(); offset += chunk)
    {
        const std::size_t count = std::min(chunk, first.size() - offset);
        std::memcpy(a, first.data() + offset, count);
        std::memcpy(b, second.data() + offset, count);
        FoldToLower(a, count);
        FoldToLower(b, count);
        if (std::memcmp(a, b, count) != 0)
            return false;
    }
    return true;
}

}  // namespace tdm
