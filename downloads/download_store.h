// The downloads of one browser thread: one record per download, found by its id
// in constant time, and the display order every view shows them in.
//
// The store owns the records; views read them by index or id and never keep
// copies. A removal leaves the cached indexes from the removed place on stale
// until a lookup needs one of them, so removing many downloads costs one pass.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/download_record.h"

namespace tdm {

class CDownloadStore
{
public:
    CDownloadStore() = default;
    CDownloadStore(const CDownloadStore&) = delete;
    CDownloadStore& operator=(const CDownloadStore&) = delete;

    size_t Count() const noexcept { return m_order.size(); }
    // The record at display position `index`, or null. Inline: the one-second
    // tick and the painting call it for every row.
    CTolInfoDownload* At(size_t index) const noexcept
    {
        return index < m_order.size() ? m_order[index]->record.get() : nullptr;
    }
    // The record of download `id`, or null.
    CTolInfoDownload* Find(LONG id) const noexcept;
    // The display position of download `id`, or -1.
    int IndexOf(LONG id) const noexcept;

    // Calls `visit` with every record, in no particular order: the one-second
    // tick visits every download, and walks the table without the order's
    // indirection. `visit` adds and removes nothing.
    template <typename Visit>
    void ForEach(Visit&& visit) const
    {
        for (const auto& entry : m_entries)
            visit(*entry.second.record);
    }
    // Makes room for `count` downloads in all, so that a whole list is taken
    // without growing the tables on the way. Raises std::bad_alloc.
    void Reserve(size_t count);
    // Appends `record` at the end of the order; false (and the record dropped)
    // when its id is already there. Raises std::bad_alloc.
    bool Append(std::unique_ptr<CTolInfoDownload> record);
    // Takes the record of download `id` out; its former position, or -1.
    int Remove(LONG id) noexcept;
    void Clear() noexcept;

    // Puts the records in the order `before` gives, records of equal value
    // keeping theirs. True when the order changed. Raises std::bad_alloc.
    bool Reorder(const std::function<bool(const CTolInfoDownload&, const CTolInfoDownload&)>& before);

    // Changes a record's state, keeping the counters in step.
    void SetState(CTolInfoDownload& record, LONG state) noexcept;
    // Downloads running or transferring.
    size_t ActiveCount() const noexcept { return m_active; }
    // Downloads complete and not active.
    size_t FinishedCount() const noexcept { return m_finished; }

    // The first other download (id other than `skipId`) whose file path (not
    // empty, not a folder) or whose URL equals `text`, ignoring letter case.
    const CTolInfoDownload* FindOtherByPath(LONG skipId, const std::wstring& path) const noexcept;
    const CTolInfoDownload* FindOtherByUrl(LONG skipId, const std::wstring& url) const noexcept;

private:
    struct Entry
    {
        std::unique_ptr<CTolInfoDownload> record;
        int index = -1;
    };
    void Count(const CTolInfoDownload& record, int sign) noexcept;
    void RenewIndexes() const noexcept;

    std::unordered_map<LONG, Entry> m_entries;  // by download id; owns the records
    std::vector<Entry*> m_order;                // display order (map entries do not move)
    mutable size_t m_staleFrom = 0;             // indexes from here on may be out of date
    size_t m_active = 0;
    size_t m_finished = 0;
};

}  // namespace tdm
