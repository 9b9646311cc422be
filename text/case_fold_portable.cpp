// Portable folding: the C locale's rule, A-Z to a-z, every other byte as is.
// Deliberately not std::tolower, which depends on the process locale and is
// undefined for negative char values.
#if !defined(_WIN32)

#include "text/case_fold.h"

namespace tdm {

void FoldToLower(char* data, std::size_t length) noexcept
{
    for (std::size_t i = 0; i < length; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 'A' && c <= 'Z')
            data[i] = static_cast<char>(c - 'A' + 'a');
    }
}

}  // namespace tdm

#endif
