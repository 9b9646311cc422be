// RAII owners for plain Windows handles.
//
// Every kind of handle the module owns has exactly one owner type, made from the
// one template below. An owner closes its handle when it goes out of scope or is
// reset; `release()` hands ownership out, `put()` receives a handle from an
// out-parameter (closing any previous one first).
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <cstdint>
#include <utility>

namespace tdm {

// `InvalidValue` is the integer value of the "no handle" value (0, or -1 for
// file handles).
template <typename T, auto Close, std::intptr_t InvalidValue = 0>
class unique_any
{
    static T Invalid() noexcept { return (T)(InvalidValue); }

public:
    unique_any() noexcept = default;
    explicit unique_any(T value) noexcept : m_value(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : m_value(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    T get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Invalid(); }

    void reset(T value = Invalid()) noexcept
    {
        T old = std::exchange(m_value, value);
        if (old != Invalid())
            Close(old);
    }
    [[nodiscard]] T release() noexcept { return std::exchange(m_value, Invalid()); }
    T* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    T m_value = Invalid();
};

namespace detail {
inline void CloseKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void CloseHandleChecked(HANDLE h) noexcept { ::CloseHandle(h); }
inline void DestroyIconHandle(HICON h) noexcept { ::DestroyIcon(h); }
inline void DestroyCursorHandle(HCURSOR h) noexcept { ::DestroyCursor(h); }
inline void DeleteGdiObject(HGDIOBJ h) noexcept { ::DeleteObject(h); }
inline void DestroyMenuHandle(HMENU h) noexcept { ::DestroyMenu(h); }
inline void DestroyImageListHandle(HIMAGELIST h) noexcept { ::ImageList_Destroy(h); }
inline void FreeGlobal(HGLOBAL h) noexcept { ::GlobalFree(h); }
inline void FreeModuleHandle(HMODULE h) noexcept { ::FreeLibrary(h); }
inline void FreeCoTaskMem(void* p) noexcept { ::CoTaskMemFree(p); }
inline void FreeCoTaskMemString(wchar_t* p) noexcept { ::CoTaskMemFree(p); }
inline void FreeLocal(HLOCAL h) noexcept { ::LocalFree(h); }
inline void DestroyWindowHandle(HWND h) noexcept { ::DestroyWindow(h); }
inline void DeleteDcHandle(HDC h) noexcept { ::DeleteDC(h); }
inline void CloseFindHandle(HANDLE h) noexcept { ::FindClose(h); }
}  // namespace detail

using unique_hkey = unique_any<HKEY, detail::CloseKey>;
using unique_handle = unique_any<HANDLE, detail::CloseHandleChecked>;
using unique_file = unique_any<HANDLE, detail::CloseHandleChecked, -1>;
using unique_hicon = unique_any<HICON, detail::DestroyIconHandle>;
using unique_hcursor = unique_any<HCURSOR, detail::DestroyCursorHandle>;
using unique_hfont = unique_any<HFONT, detail::DeleteGdiObject>;
using unique_hbrush = unique_any<HBRUSH, detail::DeleteGdiObject>;
using unique_hpen = unique_any<HPEN, detail::DeleteGdiObject>;
using unique_hbitmap = unique_any<HBITMAP, detail::DeleteGdiObject>;
using unique_hmenu = unique_any<HMENU, detail::DestroyMenuHandle>;
using unique_himagelist = unique_any<HIMAGELIST, detail::DestroyImageListHandle>;
using unique_hglobal = unique_any<HGLOBAL, detail::FreeGlobal>;
using unique_hlocal = unique_any<HLOCAL, detail::FreeLocal>;
using unique_hmodule = unique_any<HMODULE, detail::FreeModuleHandle>;
using unique_cotaskmem = unique_any<void*, detail::FreeCoTaskMem>;
using unique_cotaskmem_string = unique_any<wchar_t*, detail::FreeCoTaskMemString>;
using unique_hwnd = unique_any<HWND, detail::DestroyWindowHandle>;
using unique_hdc = unique_any<HDC, detail::DeleteDcHandle>;

// Locks a global memory block for the owner's lifetime.
class global_lock
{
public:
    explicit global_lock(HGLOBAL memory) noexcept
        : m_memory(memory), m_data(memory ? ::GlobalLock(memory) : nullptr) {}
    global_lock(const global_lock&) = delete;
    global_lock& operator=(const global_lock&) = delete;
    ~global_lock()
    {
        if (m_data)
            ::GlobalUnlock(m_memory);
    }
    void* get() const noexcept { return m_data; }
    SIZE_T size() const noexcept { return m_data ? ::GlobalSize(m_memory) : 0; }

private:
    HGLOBAL m_memory;
    void* m_data;
};

// The device context of a window, released to the window when the owner ends.
class window_dc
{
public:
    explicit window_dc(HWND window) noexcept : m_window(window), m_dc(::GetDC(window)) {}
    window_dc(const window_dc&) = delete;
    window_dc& operator=(const window_dc&) = delete;
    ~window_dc()
    {
        if (m_dc)
            ::ReleaseDC(m_window, m_dc);
    }
    HDC get() const noexcept { return m_dc; }
    explicit operator bool() const noexcept { return m_dc != nullptr; }

private:
    HWND m_window;
    HDC m_dc;
};

// Selects a GDI object into a device context and selects the previous one back
// when the owner ends; the selected object itself stays owned by its owner.
class select_object
{
public:
    select_object(HDC dc, HGDIOBJ object) noexcept
        : m_dc(dc), m_previous(dc && object ? ::SelectObject(dc, object) : nullptr) {}
    select_object(const select_object&) = delete;
    select_object& operator=(const select_object&) = delete;
    ~select_object()
    {
        if (m_previous && m_previous != HGDI_ERROR)
            ::SelectObject(m_dc, m_previous);
    }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

}  // namespace tdm
