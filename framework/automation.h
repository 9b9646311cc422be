// Owners of the OLE Automation types: BSTR, VARIANT and SAFEARRAY, and the
// conversions of texts to and from BSTRs.
//
// Data (URLs, paths, file names, cookies, credentials, proxy fields, log lines)
// stays UTF-16 from the BSTR it arrives in to the window that shows it: it never
// passes through the ANSI code page, which holds only part of what a user can
// type or a page can link to. Only interface texts of the module's own (string
// tables, formatted numbers) are 8-bit strings.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>
#include <utility>

namespace tdm {

// Owns one BSTR.
class unique_bstr
{
public:
    unique_bstr() noexcept = default;
    explicit unique_bstr(BSTR adopt) noexcept : m_value(adopt) {}
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    unique_bstr(unique_bstr&& other) noexcept : m_value(other.release()) {}
    unique_bstr& operator=(unique_bstr&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_bstr() { reset(); }

    BSTR get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != nullptr; }
    // Length in characters; a null BSTR is the empty text.
    UINT length() const noexcept { return ::SysStringLen(m_value); }
    bool empty() const noexcept { return length() == 0; }
    void reset(BSTR value = nullptr) noexcept
    {
        if (BSTR old = std::exchange(m_value, value))
            ::SysFreeString(old);
    }
    [[nodiscard]] BSTR release() noexcept { return std::exchange(m_value, nullptr); }
    BSTR* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    BSTR m_value = nullptr;
};

// Owns one VARIANT; cleared on destruction and before reuse.
class unique_variant
{
public:
    unique_variant() noexcept { ::VariantInit(&m_value); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    unique_variant(unique_variant&& other) noexcept : m_value(other.release()) {}
    unique_variant& operator=(unique_variant&& other) noexcept
    {
        if (this != &other)
        {
            ::VariantClear(&m_value);
            m_value = other.release();
        }
        return *this;
    }
    ~unique_variant() { ::VariantClear(&m_value); }

    VARIANT* get() noexcept { return &m_value; }
    const VARIANT* get() const noexcept { return &m_value; }
    VARIANT* operator->() noexcept { return &m_value; }
    const VARIANT* operator->() const noexcept { return &m_value; }
    VARIANT* put() noexcept
    {
        reset();
        return &m_value;
    }
    void reset() noexcept
    {
        ::VariantClear(&m_value);
        ::VariantInit(&m_value);
    }
    // Hands the content to the caller, leaving this owner empty.
    VARIANT release() noexcept
    {
        VARIANT out = m_value;
        ::VariantInit(&m_value);
        return out;
    }

private:
    VARIANT m_value;
};

// Owns one SAFEARRAY.
class unique_safearray
{
public:
    unique_safearray() noexcept = default;
    explicit unique_safearray(SAFEARRAY* adopt) noexcept : m_value(adopt) {}
    unique_safearray(const unique_safearray&) = delete;
    unique_safearray& operator=(const unique_safearray&) = delete;
    unique_safearray(unique_safearray&& other) noexcept : m_value(other.release()) {}
    ~unique_safearray() { reset(); }

    SAFEARRAY* get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != nullptr; }
    void reset(SAFEARRAY* value = nullptr) noexcept
    {
        if (SAFEARRAY* old = std::exchange(m_value, value))
            ::SafeArrayDestroy(old);
    }
    [[nodiscard]] SAFEARRAY* release() noexcept { return std::exchange(m_value, nullptr); }
    SAFEARRAY** put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    SAFEARRAY* m_value = nullptr;
};

// Keeps a SAFEARRAY locked (its data in place, its bounds unchanged) while the
// owner lives, so that pointers into its elements stay valid.
class safearray_lock
{
public:
    safearray_lock() noexcept = default;
    safearray_lock(const safearray_lock&) = delete;
    safearray_lock& operator=(const safearray_lock&) = delete;
    ~safearray_lock() { reset(); }

    [[nodiscard]] HRESULT lock(SAFEARRAY* array) noexcept
    {
        reset();
        const HRESULT hr = ::SafeArrayLock(array);
        if (SUCCEEDED(hr))
            m_array = array;
        return hr;
    }
    void reset() noexcept
    {
        if (SAFEARRAY* old = std::exchange(m_array, nullptr))
            ::SafeArrayUnlock(old);
    }

private:
    SAFEARRAY* m_array = nullptr;
};

// The text of a BSTR (null is the empty text), as it is.
inline std::wstring WideFromBstr(BSTR text) { return std::wstring(text ? text : L"", ::SysStringLen(text)); }

// Makes a BSTR of `text`; null on out-of-memory.
BSTR AllocBstr(std::wstring_view text) noexcept;

// UTF-8, the form portable parsers (proxy texts) and files take data in, and
// back; a lone surrogate becomes U+FFFD, an invalid byte U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);

// The text a global memory block holds (the clipboard's or a data object's):
// UTF-16 for CF_UNICODETEXT and the other wide formats (`wide`), otherwise
// 8-bit text in the ANSI code page, as CF_TEXT is defined. Read no further than
// the block, which comes from any program and need not end with a NUL; false
// when the block cannot be locked.
bool ReadGlobalText(HGLOBAL memory, bool wide, std::wstring& text);

// Converts an interface text (string tables, formatted numbers) to the ANSI
// code page and back. Never for data: see the top of this file.
std::string NarrowFromWide(const wchar_t* text, size_t length);
std::wstring WideFromNarrow(std::string_view text);

}  // namespace tdm
