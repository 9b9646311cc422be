// The process-wide browser table: the browser of every browser thread, keyed by
// the thread's identifier, and the lock that guards it together with the helper
// object's window registries.
//
// Locking rule: the lock guards only the tables. Nothing is called out while it
// is held (no SendMessage, no browser method, no AddRef or Release of a browser):
// a window procedure or a browser on another thread may call back into the
// helper, and a lock held across such a call would deadlock the two threads (or
// the one thread, since the lock is not recursive). Operations copy what they
// need under the lock, release it, then call out.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <new>
#include <utility>
#include <vector>

#include "framework/com_ptr.h"
#include "framework/lock.h"

namespace tdm {

// The lock of the helper object's shared state (browser table and registries).
srw_lock& HelperStateLock() noexcept;

// The browser of one browser thread.
struct BrowserEntry
{
    // Site assignments that registered this browser for the thread, minus removals.
    LONG refCount = 0;
    DWORD threadId = 0;
    // The table owns one reference.
    com_ptr<IWebBrowser2> browser;
    // Set once the helper object was sited on this thread.
    bool siteSet = false;
};

// Empty base of the helper object: static operations on the browser table, each
// keyed by the calling thread (GetCurrentThreadId). The helper's site
// assignments, the downloads panel and the toolbar frame each add their thread's
// browser and remove it again, one removal per addition.
class CWebBrowsersHolder
{
public:
    // Records `browser` for the calling thread: a new entry, one more count for
    // the same browser, or the new browser in place of another one (count kept).
    // E_OUTOFMEMORY leaves the table unchanged.
    [[nodiscard]] static HRESULT AddBrowser(IWebBrowser2* browser) noexcept;
    // Undoes one addition; the last one removes the entry and its reference.
    static void RemoveBrowser() noexcept;
    static void SetSiteFlag(bool flag) noexcept;
    static bool GetSiteFlag() noexcept;
    // The calling thread's browser, without a reference; null without an entry.
    //
    // Only the thread itself adds, replaces or removes its own entry, so the
    // pointer stays valid while that thread uses it, however other threads change
    // the table meanwhile (growing the table moves the entries, not the
    // browsers). A caller that calls the browser should still hold its own
    // reference for the call: the browser may re-enter and clear the site.
    static IWebBrowser2* GetBrowser() noexcept;
};

// Appends `entry` to one of the helper's tables; call with the lock held. The
// tables hold an entry per browser window or thread, a handful at most, so each
// addition builds the grown array beside the old one and swaps it in: a failed
// allocation leaves the table as it was, and the entries are moved, never
// copied (copying would AddRef browsers of other threads under the lock).
template <typename Entry>
[[nodiscard]] HRESULT AppendEntry(std::vector<Entry>& table, Entry&& entry) noexcept
{
    std::vector<Entry> grown;
    try
    {
        grown.reserve(table.size() + 1);
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
    // Within the reserved capacity: no allocation, nothing can throw.
    for (Entry& old : table)
        grown.push_back(std::move(old));
    grown.push_back(std::move(entry));
    table.swap(grown);
    return S_OK;
}

}  // namespace tdm
