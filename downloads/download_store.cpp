#include "downloads/download_store.h"

#include <algorithm>

namespace tdm {

namespace {

bool EqualIgnoringCase(const unique_bstr& first, const std::wstring& second) noexcept
{
    return ::CompareStringOrdinal(first ? first.get() : L"", static_cast<int>(first.length()), second.c_str(),
                                  static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

CTolInfoDownload* CDownloadStore::Find(LONG id) const noexcept
{
    const auto found = m_entries.find(id);
    return found == m_entries.end() ? nullptr : found->second.record.get();
}

int CDownloadStore::IndexOf(LONG id) const noexcept
{
    const auto found = m_entries.find(id);
    if (found == m_entries.end())
        return -1;
    if (static_cast<size_t>(found->second.index) >= m_staleFrom)
        RenewIndexes();
    return found->second.index;
}

void CDownloadStore::RenewIndexes() const noexcept
{
    for (size_t i = m_staleFrom; i < m_order.size(); ++i)
        m_order[i]->index = static_cast<int>(i);
    m_staleFrom = m_order.size();
}

void CDownloadStore::Count(const CTolInfoDownload& record, int sign) noexcept
{
    if (record.IsActive())
        m_active += sign;
    else if (record.IsComplete())
        m_finished += sign;
}

void CDownloadStore::Reserve(size_t count)
{
    m_order.reserve(count);
    m_entries.reserve(count);
}

bool CDownloadStore::Append(std::unique_ptr<CTolInfoDownload> record)
{
    if (!record || m_entries.count(record->id) != 0)
        return false;
    const LONG id = record->id;
    const int index = static_cast<int>(m_order.size());
    // The order's place first: when the table cannot take the record, it goes again.
    m_order.push_back(nullptr);
    try
    {
        m_order.back() = &m_entries.emplace(id, Entry{std::move(record), index}).first->second;
    }
    catch (...)
    {
        m_order.pop_back();
        throw;
    }
    if (m_staleFrom + 1 == m_order.size())
        m_staleFrom = m_order.size();
    Count(*m_order.back()->record, +1);
    return true;
}

int CDownloadStore::Remove(LONG id) noexcept
{
    const int index = IndexOf(id);
    if (index < 0)
        return -1;
    Count(*m_order[index]->record, -1);
    m_order.erase(m_order.begin() + index);
    m_staleFrom = std::min(m_staleFrom, static_cast<size_t>(index));
    m_entries.erase(id);
    return index;
}

void CDownloadStore::Clear() noexcept
{
    m_order.clear();
    m_entries.clear();
    m_staleFrom = 0;
    m_active = m_finished = 0;
}

bool CDownloadStore::Reorder(const std::function<bool(const CTolInfoDownload&, const CTolInfoDownload&)>& before)
{
    std::vector<Entry*> order = m_order;
    std::stable_sort(order.begin(), order.end(),
                     [&](const Entry* first, const Entry* second) { return before(*first->record, *second->record); });
    if (order == m_order)
        return false;
    m_order.swap(order);
    m_staleFrom = 0;
    RenewIndexes();
    return true;
}

void CDownloadStore::SetState(CTolInfoDownload& record, LONG state) noexcept
{
    Count(record, -1);
    record.state = state;
    Count(record, +1);
}

const CTolInfoDownload* CDownloadStore::FindOtherByPath(LONG skipId, const std::wstring& path) const noexcept
{
    for (const Entry* entry : m_order)
    {
        const CTolInfoDownload& record = *entry->record;
        const size_t length = record.path.length();
        if (record.id == skipId || length == 0 || record.path.get()[length - 1] == L'\\')
            continue;
        if (EqualIgnoringCase(record.path, path))
            return &record;
    }
    return nullptr;
}

const CTolInfoDownload* CDownloadStore::FindOtherByUrl(LONG skipId, const std::wstring& url) const noexcept
{
    for (const Entry* entry : m_order)
        if (entry->record->id != skipId && EqualIgnoringCase(entry->record->url, url))
            return entry->record.get();
    return nullptr;
}

}  // namespace tdm
