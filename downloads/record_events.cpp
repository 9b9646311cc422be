#include "downloads/record_events.h"

#include <new>

#include "engine/engine_contract.h"
#include "engine/file_icon.h"
#include "framework/automation.h"

namespace tdm {

std::wstring JoinPath(const std::wstring& folder, const std::wstring& fileName)
{
    if (folder.empty() || fileName.empty())
        return folder + fileName;
    return folder.back() == L'\\' ? folder + fileName : folder + L'\\' + fileName;
}

bool SetText(unique_bstr& field, const std::wstring& text) noexcept
{
    BSTR copy = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!copy)
        return false;
    field.reset(copy);
    return true;
}

void LookUpIcon(CTolInfoDownload& record) noexcept
{
    record.icon = CachedFileIcon(WideFromBstr(record.path.get()));
}

std::unique_ptr<CTolInfoDownload> MakeAddedRecord(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state,
                                                  LONG priority)
{
    auto record = std::make_unique<CTolInfoDownload>();
    record->id = id;
    if (!SetText(record->url, TextOf(url)) || !SetText(record->path, JoinPath(TextOf(folder), TextOf(fileName))))
        throw std::bad_alloc();
    record->state = state;
    record->priority = priority;
    // Known once the server has answered (ResumeSupportChanged): until then a
    // pause is not taken for one that loses the loaded data.
    record->resumable = kResumeNotKnown;
    LookUpIcon(*record);
    return record;
}

void ApplyProgress(CTolInfoDownload& record, const IEngineEventHandler::Progress& progress) noexcept
{
    if (record.totalSize != 0 && record.totalSize < progress.loadedSize)
        record.totalSize = 0;
    record.elapsed = TimeSpan::FromDays(progress.elapsed);
    record.loadedSize = progress.loadedSize;
    record.currentSpeed = progress.currentSpeed;
    record.averageSpeed = progress.averageSpeed;
    record.fresh = true;
    record.UpdateProgress();
}

}  // namespace tdm
