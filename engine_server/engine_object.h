// The engine's COM objects: the one engine object every client gets
// (IDownloadEngine with its event connection point) and the option objects
// (IDownloadOptions), over the process's CEngineCore.
//
// Threading: the engine's process has one single-threaded apartment, its main
// thread; every call and every event runs there. Sinks are kept in the global
// interface table, so that each is called through a proxy into its own
// apartment. While an event is out at a client, COM may let another client's
// call in: the sink list is copied before an event goes out.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "engine_h.h"
#include "engine_server/engine_core.h"
#include "framework/com_ptr.h"
#include "framework/dispatch.h"
#include "framework/object.h"

namespace tdm::engine {

// The process-wide engine: the core and the connected sinks.
class CEngineServer final : public CEngineEvents
{
public:
    static CEngineServer& Instance() noexcept;

    CEngineCore& Core() noexcept { return m_core; }

    HRESULT Advise(IUnknown* sink, DWORD* cookie) noexcept;
    HRESULT Unadvise(DWORD cookie) noexcept;
    // Forgets every sink (at the end of the process).
    void DisconnectAll() noexcept;
    size_t SinkCount() const noexcept { return m_sinks.size(); }

    // CEngineEvents: each sink in turn, by-reference arguments shared, so that
    // what one sink sets is what the next one gets.
    void Fire(DISPID dispid, std::vector<EventArgument>& arguments) noexcept override;

private:
    CEngineServer() noexcept : m_core(*this) {}

    struct Sink
    {
        DWORD cookie;
        DWORD tableCookie;
    };
    CEngineCore m_core;
    std::vector<Sink> m_sinks;
    DWORD m_nextCookie = 1;
};

// The classes the engine's process serves (its class-object table).
extern const ClassEntry kEngineClasses[1];

}  // namespace tdm::engine
