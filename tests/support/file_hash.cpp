#include "support/file_hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>

#include "framework/unique_any.h"

namespace tdm::test {
namespace {

void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) noexcept { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
void DestroyHash(BCRYPT_HASH_HANDLE hash) noexcept { ::BCryptDestroyHash(hash); }
using unique_bcrypt_algorithm = unique_any<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using unique_bcrypt_hash = unique_any<BCRYPT_HASH_HANDLE, DestroyHash>;
void CloseFile(FILE* file) noexcept { std::fclose(file); }
using unique_stdio_file = unique_any<FILE*, CloseFile>;

}  // namespace

std::string Sha256OfFile(const std::wstring& path)
{
    const unique_stdio_file file(::_wfopen(path.c_str(), L"rb"));
    if (!file)
        return "no file";
    unique_bcrypt_algorithm algorithm;
    unique_bcrypt_hash hash;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0)))
        return "no hash";
    UCHAR chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0;)
        if (!BCRYPT_SUCCESS(::BCryptHashData(hash.get(), chunk, static_cast<ULONG>(n), 0)))
            return "no hash";
    UCHAR digest[32] = {};
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest, sizeof(digest), 0)))
        return "no hash";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (UCHAR byte : digest)
    {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

}  // namespace tdm::test
