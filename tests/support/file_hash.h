// The SHA-256 of a file, for comparing a downloaded file with the served one.
#pragma once

#include <string>

namespace tdm::test {

// Lower-case hexadecimal; "no file" when the file cannot be read, "no hash"
// when the system's hash provider fails.
std::string Sha256OfFile(const std::wstring& path);

}  // namespace tdm::test
