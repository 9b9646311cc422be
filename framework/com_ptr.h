// The one smart pointer for COM interfaces held by the module.
//
// `put()` serves out-parameters, `detach()` hands a reference out, `try_query<U>()`
// asks for another interface without failing, `copy_to()` fills an out-parameter
// with a new reference.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <utility>

namespace tdm {

template <typename T>
class com_ptr
{
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Takes a new reference on `p`.
    explicit com_ptr(T* p) noexcept : m_ptr(p)
    {
        if (m_ptr)
            m_ptr->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.m_ptr) {}
    com_ptr(com_ptr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    com_ptr& operator=(const com_ptr& other) noexcept
    {
        com_ptr(other).swap(*this);
        return *this;
    }
    com_ptr& operator=(com_ptr&& other) noexcept
    {
        com_ptr(std::move(other)).swap(*this);
        return *this;
    }
    com_ptr& operator=(std::nullptr_t) noexcept
    {
        reset();
        return *this;
    }
    ~com_ptr() { reset(); }

    // Adopts a reference the caller already owns.
    static com_ptr attach(T* p) noexcept
    {
        com_ptr result;
        result.m_ptr = p;
        return result;
    }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    void reset() noexcept
    {
        if (T* old = std::exchange(m_ptr, nullptr))
            old->Release();
    }
    T** put() noexcept
    {
        reset();
        return &m_ptr;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    [[nodiscard]] T* detach() noexcept { return std::exchange(m_ptr, nullptr); }
    void swap(com_ptr& other) noexcept { std::swap(m_ptr, other.m_ptr); }

    template <typename U>
    com_ptr<U> try_query() const noexcept
    {
        com_ptr<U> result;
        if (m_ptr)
            m_ptr->QueryInterface(__uuidof(U), result.put_void());
        return result;
    }
    HRESULT query_to(REFIID riid, void** ppv) const noexcept
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return m_ptr ? m_ptr->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    HRESULT copy_to(T** pp) const noexcept
    {
        if (!pp)
            return E_POINTER;
        *pp = m_ptr;
        if (m_ptr)
            m_ptr->AddRef();
        return S_OK;
    }

    bool operator==(const com_ptr& other) const noexcept { return m_ptr == other.m_ptr; }
    bool operator!=(const com_ptr& other) const noexcept { return m_ptr != other.m_ptr; }

private:
    T* m_ptr = nullptr;
};

// Identity comparison of two interface pointers of one object (through IUnknown).
// Objects whose identity cannot be read are not the same.
inline bool SameObject(IUnknown* a, IUnknown* b) noexcept
{
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    com_ptr<IUnknown> ua, ub;
    if (FAILED(a->QueryInterface(IID_IUnknown, ua.put_void())) || !ua ||
        FAILED(b->QueryInterface(IID_IUnknown, ub.put_void())) || !ub)
        return false;
    return ua.get() == ub.get();
}

}  // namespace tdm
