// The error policy's helpers: raising with error information, and the boundary
// that turns whatever escaped into an HRESULT. Trying twice (CallTwice,
// CreateTwice) is checked through the engine link, which uses it.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "framework/automation.h"
#include "framework/error.h"

using namespace tdm;

namespace {

// An object that does or does not declare error information for IDispatch.
class Source : public ISupportErrorInfo
{
public:
    explicit Source(bool supports) : m_supports(supports) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = IsEqualIID(riid, IID_IUnknown) || (m_supports && IsEqualIID(riid, IID_ISupportErrorInfo));
        *ppv = known ? static_cast<ISupportErrorInfo*>(this) : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override
    {
        return IsEqualIID(riid, IID_IDispatch) ? S_OK : S_FALSE;
    }

private:
    bool m_supports;
};

void SetThreadErrorDescription(const wchar_t* text)
{
    com_ptr<ICreateErrorInfo> create;
    ASSERT_EQ(S_OK, ::CreateErrorInfo(create.put()));
    unique_bstr description(::SysAllocString(text));
    create->SetDescription(description.get());
    com_ptr<IErrorInfo> info = create.try_query<IErrorInfo>();
    ASSERT_TRUE(info);
    ::SetErrorInfo(0, info.get());
}

std::string DescriptionOf(const CComError& error)
{
    if (!error.ErrorInfo())
        return "<none>";
    unique_bstr description;
    error.ErrorInfo()->GetDescription(description.put());
    return Utf8FromWide(WideFromBstr(description.get()));
}

CComError Raised(HRESULT hr, REFIID iid, IUnknown* source)
{
    try
    {
        RaiseIfFailed(hr, iid, source);
    }
    catch (const CComError& error)
    {
        return error;
    }
    return CComError(S_OK, IID_NULL);
}

}  // namespace

TEST(ErrorTest, ErrorInformationTravelsOnlyWhenTheSourceDeclaresIt)
{
    Source supporting(true), silent(false);
    const struct
    {
        const char* what;
        IUnknown* source;
        REFIID iid;
        const char* description;
    } cases[] = {
        {"declared for the interface", &supporting, IID_IDispatch, "engine says no"},
        {"declared for another interface", &supporting, IID_IUnknown, "<none>"},
        {"no ISupportErrorInfo", &silent, IID_IDispatch, "<none>"},
        {"no source (creation)", nullptr, IID_IDispatch, "engine says no"},
    };
    for (const auto& c : cases)
    {
        SetThreadErrorDescription(L"engine says no");
        const CComError error = Raised(DISP_E_EXCEPTION, c.iid, c.source);
        EXPECT_EQ(DISP_E_EXCEPTION, error.Status()) << c.what;
        EXPECT_TRUE(IsEqualIID(c.iid, error.Interface())) << c.what;
        EXPECT_EQ(c.description, DescriptionOf(error)) << c.what;
        com_ptr<IErrorInfo> left;
        EXPECT_EQ(S_FALSE, ::GetErrorInfo(0, left.put())) << c.what << ": the thread's information is consumed";
    }
    EXPECT_EQ(S_OK, Raised(S_FALSE, IID_IDispatch, nullptr).Status()) << "success codes are not raised";
}

TEST(ErrorTest, BoundaryTurnsWhateverEscapedIntoAStatus)
{
    EXPECT_EQ(S_FALSE, ComBoundary([] { return S_FALSE; }));
    EXPECT_EQ(E_ACCESSDENIED, ComBoundary([]() -> HRESULT { throw CComError(E_ACCESSDENIED, IID_IUnknown); }));
    EXPECT_EQ(E_FAIL, ComBoundary([]() -> HRESULT { throw CComError(S_FALSE, IID_IUnknown); }))
        << "a raised success code must not become a success";
    EXPECT_EQ(E_OUTOFMEMORY, ComBoundary([]() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(E_UNEXPECTED, ComBoundary([]() -> HRESULT { throw std::runtime_error("x"); }));
}
