#include "browser/web_browsers_holder.h"

#include <algorithm>
#include <mutex>

namespace tdm {

namespace {

srw_lock g_helperStateLock;

// The table is never destroyed: at process exit the browsers it may still
// reference belong to modules that can be gone already, and releasing them
// then would call into unloaded code. A browser thread that ended properly has
// removed its entry long before.
union BrowserTableStorage
{
    BrowserTableStorage() noexcept : table() {}
    ~BrowserTableStorage() {}
    std::vector<BrowserEntry> table;
};
BrowserTableStorage g_browsers;

std::vector<BrowserEntry>& Browsers() noexcept { return g_browsers.table; }

// The calling thread's entry; call with the lock held.
std::vector<BrowserEntry>::iterator FindEntry(DWORD threadId) noexcept
{
    auto& table = Browsers();
    return std::find_if(table.begin(), table.end(),
                        [threadId](const BrowserEntry& entry) { return entry.threadId == threadId; });
}

}  // namespace

srw_lock& HelperStateLock() noexcept { return g_helperStateLock; }

HRESULT CWebBrowsersHolder::AddBrowser(IWebBrowser2* browser) noexcept
{
    const DWORD threadId = ::GetCurrentThreadId();
    // Referenced before the lock is taken; whatever it holds afterwards (a
    // reference the table did not need, or the browser it replaced) is released
    // after the lock is given back.
    com_ptr<IWebBrowser2> held(browser);
    std::lock_guard<srw_lock> guard(HelperStateLock());
    const auto entry = FindEntry(threadId);
    if (entry == Browsers().end())
    {
        BrowserEntry added;
        added.refCount = browser ? 1 : 0;
        added.threadId = threadId;
        added.browser = std::move(held);
        return AppendEntry(Browsers(), std::move(added));
    }
    if (browser && entry->browser.get() == browser)
        ++entry->refCount;
    else
        entry->browser.swap(held);
    return S_OK;
}

void CWebBrowsersHolder::RemoveBrowser() noexcept
{
    com_ptr<IWebBrowser2> released;
    {
        std::lock_guard<srw_lock> guard(HelperStateLock());
        const auto entry = FindEntry(::GetCurrentThreadId());
        if (entry == Browsers().end())
            return;
        // An entry begun without a browser counts 0 additions; one removal also
        // ends it, so that a browser stored into it later is not kept forever.
        if (--entry->refCount > 0)
            return;
        released = std::move(entry->browser);
        Browsers().erase(entry);
    }
}

void CWebBrowsersHolder::SetSiteFlag(bool flag) noexcept
{
    std::lock_guard<srw_lock> guard(HelperStateLock());
    const auto entry = FindEntry(::GetCurrentThreadId());
    if (entry != Browsers().end())
        entry->siteSet = flag;
}

bool CWebBrowsersHolder::GetSiteFlag() noexcept
{
    std::lock_guard<srw_lock> guard(HelperStateLock());
    const auto entry = FindEntry(::GetCurrentThreadId());
    return entry != Browsers().end() && entry->siteSet;
}

IWebBrowser2* CWebBrowsersHolder::GetBrowser() noexcept
{
    std::lock_guard<srw_lock> guard(HelperStateLock());
    const auto entry = FindEntry(::GetCurrentThreadId());
    return entry != Browsers().end() ? entry->browser.get() : nullptr;
}

}  // namespace tdm
