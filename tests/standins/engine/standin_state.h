// The process-wide state of the engine stand-in, shared by all its engine, option
// and control objects: what the tests configure, the calls the client made, and
// the event sinks connected to any engine object.
//
// Engine objects live in the apartments of the threads that created them (the
// client's browser threads are single-threaded apartments), while the control can
// be used from any thread; so everything here is guarded by one mutex, which is
// never held while calling out (into a sink, an option object of the client or
// COM's global interface table), because such calls may come back in.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <array>
#include <map>
#include <mutex>

#include "framework/lock.h"
#include <optional>
#include <string>
#include <vector>

#include "engine_h.h"

namespace tdm::standin {

// A copyable VARIANT.
class Value
{
public:
    Value() noexcept { ::VariantInit(&m_value); }
    explicit Value(const VARIANT& value) noexcept;
    Value(const Value& other) noexcept : Value(other.m_value) {}
    Value& operator=(const Value& other) noexcept;
    ~Value() { ::VariantClear(&m_value); }

    static Value Long(long value) noexcept;
    static Value Flag(VARIANT_BOOL value) noexcept;
    static Value Double(double value) noexcept;
    static Value Text(const wchar_t* text, UINT length) noexcept;
    static Value Text(const std::wstring& text) noexcept { return Text(text.data(), static_cast<UINT>(text.size())); }

    const VARIANT& get() const noexcept { return m_value; }
    VARIANT& get() noexcept { return m_value; }
    // A copy handed to a caller.
    HRESULT CopyTo(VARIANT* out) const noexcept;

private:
    VARIANT m_value;
};

// The properties of IDownloadOptions, in vtable order.
struct OptionProperty
{
    const wchar_t* name;
    VARTYPE type;  // VT_BSTR, VT_I4 or VT_BOOL
};
constexpr size_t kOptionCount = 14;
extern const OptionProperty kOptionProperties[kOptionCount];
// Index of a property by name (letter case ignored), or -1.
int FindOptionProperty(const wchar_t* name) noexcept;

using OptionValues = std::array<Value, kOptionCount>;
// The options of a download nothing was stored for.
OptionValues DefaultOptionValues();

// Texts of recorded arguments.
std::wstring ArgumentText(long value);
std::wstring ArgumentText(BSTR value);
std::wstring FlagArgumentText(VARIANT_BOOL value);

struct RecordedCall
{
    std::wstring target;
    std::wstring name;
    std::vector<std::wstring> arguments;
    std::optional<OptionValues> options;
};

class CStandInState
{
public:
    static CStandInState& Instance() noexcept;

    void Reset();

    // --- calls and failures -----------------------------------------------------
    // Records a call; returns the failure configured for it (after leaving its
    // error information on the calling thread) or S_OK.
    HRESULT Record(const std::wstring& target, const wchar_t* name, std::vector<std::wstring> arguments,
                   const OptionValues* options = nullptr);
    std::vector<RecordedCall> Calls() const;
    void ClearCalls();
    void SetFailure(const std::wstring& operation, HRESULT status, long count, const std::wstring& description);
    void ClearFailures();

    // --- engine settings ----------------------------------------------------------
    struct Settings
    {
        long language = 0x0409;
        long trafficMode = 2;
        VARIANT_BOOL keepDescriptionFile = VARIANT_FALSE;
        VARIANT_BOOL keepCommonLog = VARIANT_TRUE;
        long logDaysToKeep = 30;
        VARIANT_BOOL logPerDownload = VARIANT_TRUE;
    };
    Settings GetSettings() const;
    template <typename Change>
    void ChangeSettings(Change&& change)
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        change(m_settings);
    }
    void SetLog(long id, std::wstring text);
    std::wstring Log(long id) const;

    // --- stored options -------------------------------------------------------------
    OptionValues StoredOptions(long id) const;
    void StoreOptions(long id, const OptionValues& values);
    HRESULT SetStoredOption(long id, const wchar_t* property, const VARIANT& value);

    // --- download list ----------------------------------------------------------------
    void ClearList();
    long AddListRow(long id, BSTR url, BSTR folder, BSTR fileName, long state);
    HRESULT SetListField(long row, long column, const VARIANT& value);
    HRESULT AddListSection(long row, ULONG origin, ULONG length, ULONG loaded);
    void SetRawList(const VARIANT& list);
    HRESULT BuildList(VARIANT* list) const;

    // --- objects ------------------------------------------------------------------------
    long EngineCreated();
    void EngineDestroyed();
    long OptionsCreated();
    void OptionsDestroyed();
    long LiveEngines() const;
    long LiveOptions() const;
    long CreatedEngines() const;

    // --- event sinks and events -----------------------------------------------------------
    // Keeps `sink` (an _IDownloadEngineEvents dispatch interface of the calling
    // apartment) as a connection of the engine object `engine`.
    HRESULT Connect(const void* engine, IDispatch* sink, DWORD* cookie);
    // CONNECT_E_NOCONNECTION when `cookie` is not a connection of `engine`.
    HRESULT Disconnect(const void* engine, DWORD cookie);
    void DisconnectAll(const void* engine);
    long ConnectionCount() const;

    // Sends an event to every sink; see ITestEngineControl::FireEvent.
    HRESULT FireEvent(const VARIANT& event, SAFEARRAY* arguments, long* delivered);
    HRESULT FireRawEvent(DISPID dispid, SAFEARRAY* arguments, long* delivered);
    HRESULT EventArgument(long index, VARIANT* value) const;
    HRESULT EventResult(long sink, long* status) const;

private:
    CStandInState() = default;

    struct Failure
    {
        HRESULT status;
        long remaining;  // -1: until cleared
        std::wstring description;
    };
    struct Connection
    {
        const void* engine;  // the engine object, alive while it has connections
        DWORD cookie;
        DWORD tableCookie;  // in the global interface table
    };
    struct ListRow
    {
        std::array<Value, 15> columns;
        std::vector<std::array<ULONG, 4>> sections;
    };

    long SendToSinks(DISPID dispid, DISPPARAMS* parameters, std::vector<HRESULT>& results);

    mutable tdm::srw_lock m_lock;
    std::vector<RecordedCall> m_calls;
    std::map<std::wstring, Failure> m_failures;
    Settings m_settings;
    std::map<long, std::wstring> m_logs;
    std::map<long, OptionValues> m_options;
    std::vector<ListRow> m_rows;
    std::optional<Value> m_rawList;
    std::vector<Connection> m_connections;
    DWORD m_nextCookie = 1;
    std::vector<Value> m_eventArguments;
    std::vector<HRESULT> m_eventResults;
    long m_liveEngines = 0;
    long m_liveOptions = 0;
    long m_createdEngines = 0;
    long m_createdOptions = 0;
};

}  // namespace tdm::standin
