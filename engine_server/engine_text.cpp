#include "engine_server/engine_text.h"

#include <cstdio>

#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

std::string Utf8FromWide(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string result(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length, nullptr,
                              nullptr);
    return result;
}

std::wstring WideFromUtf8(std::string_view text)
{
    if (text.empty())
        return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return result;
}

std::string ReadWholeFile(const std::wstring& path)
{
    const unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                         FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return {};
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > 256 * 1024 * 1024)
        return {};
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)))
        return {};
    bytes.resize(read);
    return bytes;
}

namespace {

HRESULT WriteAll(HANDLE file, std::string_view bytes) noexcept
{
    DWORD written = 0;
    RETURN_LAST_ERROR_IF(!bytes.empty() && (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                         &written, nullptr) || written != bytes.size()));
    return S_OK;
}

}  // namespace

HRESULT ReplaceFileContent(const std::wstring& path, std::string_view bytes) noexcept
try
{
    const std::wstring temporary = path + L".new";
    {
        const unique_file file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        RETURN_LAST_ERROR_IF(!file);
        RETURN_IF_FAILED(WriteAll(file.get(), bytes));
        RETURN_LAST_ERROR_IF(!::FlushFileBuffers(file.get()));
    }
    RETURN_LAST_ERROR_IF(!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT AppendToFile(const std::wstring& path, std::string_view bytes) noexcept
{
    const unique_file file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    RETURN_LAST_ERROR_IF(!file);
    return WriteAll(file.get(), bytes);
}

HRESULT CreateFolderPath(const std::wstring& path) noexcept
try
{
    if (path.empty())
        return E_INVALIDARG;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? S_OK : HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    const size_t separator = path.find_last_of(L"\\/");
    if (separator != std::wstring::npos && separator > 2)
        RETURN_IF_FAILED(CreateFolderPath(path.substr(0, separator)));
    if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return HRESULT_FROM_WIN32(::GetLastError());
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

std::wstring LocalTimeText(const wchar_t* format)
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t text[64] = {};
    std::swprintf(text, 64, format, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

}  // namespace tdm::engine
