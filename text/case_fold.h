// Lower-casing of 8-bit text in the interface's code page.
//
// Every case-insensitive comparison in the text utilities goes through
// FoldToLower, so that the pattern matcher, the URL scheme lookup and any
// later user agree on what "the same letter" means. The Windows build folds
// with the system's ANSI code page (case_fold_win.cpp); the portable build,
// used by the native tests, folds the ASCII letters only (case_fold_portable.cpp).
#pragma once

#include <cstddef>
#include <string_view>

namespace tdm {

// Lower-cases length bytes at data in place. The length never changes, so an
// offset into the folded copy is the same offset into the original text.
void FoldToLower(char* data, std::size_t length) noexcept;

// True when both texts are equal after folding. Texts of different lengths are
// never equal. Allocates nothing.
bool EqualsIgnoreCase(std::string_view first, std::string_view second) noexcept;

}  // namespace tdm
