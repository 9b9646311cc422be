// Windows folding: the system lower-cases by the ANSI code page, so accented
// letters of the interface language fold like ASCII ones and double-byte
// characters are left intact.
#if defined(_WIN32)

#include "text/case_fold.h"

#include <windows.h>

namespace tdm {

void FoldToLower(char* data, std::size_t length) noexcept
{
    // CharLowerBuffA counts in DWORDs; texts longer than that are folded in
    // pieces (a double-byte pair split at such a boundary is not a concern at
    // four gigabytes).
    while (length > 0)
    {
        const DWORD piece = length > MAXDWORD ? MAXDWORD : static_cast<DWORD>(length);
        CharLowerBuffA(data, piece);
        data += piece;
        length -= piece;
    }
}

}  // namespace tdm

#endif
