// The engine's COM objects: the one engine object every client gets
// (IDownloadEngine with its event connection point) and the option objects
// (IDownloadOptions), over the process's CEngineCore.
//
// Threading: the engine's process has one single-threaded apartment, its main
// thread; every call of a client runs there. Events do not: each connected
// sink has a delivery thread of its own (in the multithreaded apartment, the
// sink marshalled into it) with a bounded queue, so that a client that is slow
// or sits in a dialog inside an event holds up neither the engine nor the
// other clients. An event that carries a claimed flag goes from client to
// client, each getting the flag as the one before left it; a client that keeps
// it too long loses its turn to the next, and the last answer (or none) goes
// back to the core on the main thread.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <vector>

#include "engine_h.h"
#include "engine_server/aria2_backend.h"
#include "engine_server/engine_core.h"
#include "framework/com_ptr.h"
#include "framework/dispatch.h"
#include "framework/object.h"

namespace tdm::engine {

// The process-wide engine: the core and the connected sinks.
class CEngineServer final : public CEngineEvents
{
public:
    // Posted to the main thread when a client has dealt with an event that
    // waits for it (or is gone).
    static constexpr UINT kDeliveryMessage = WM_APP + 0x51;

    static CEngineServer& Instance() noexcept;

    CEngineCore& Core() noexcept { return m_core; }

    HRESULT Advise(IUnknown* sink, DWORD* cookie) noexcept;
    HRESULT Unadvise(DWORD cookie) noexcept;
    // Forgets every sink (at the end of the process).
    void DisconnectAll() noexcept;
    size_t SinkCount() const noexcept { return m_sinks.size(); }

    // CEngineEvents
    void Fire(DISPID dispid, std::vector<EventArgument> arguments) noexcept override;
    void Ask(DISPID dispid, std::vector<EventArgument> arguments, size_t claimedIndex,
             AnswerHandler answered) noexcept override;

    // Main thread: passes events that go from client to client on (the client
    // has dealt with it, or its time is up), hands finished questions to their
    // handlers and drops clients that are gone. Run for kDeliveryMessage and
    // once a second.
    void AdvanceEvents() noexcept;

    struct Outgoing;
    struct Delivery;

private:
    CEngineServer() noexcept : m_core(*this, m_backend) {}
    void Start(const std::shared_ptr<Outgoing>& event) noexcept;
    bool Pass(const std::shared_ptr<Outgoing>& event) noexcept;

    CAria2Backend m_backend;  // before the core, which uses it
    CEngineCore m_core;
    std::vector<std::shared_ptr<Delivery>> m_sinks;
    std::vector<std::shared_ptr<Outgoing>> m_waiting;  // events going from client to client
    DWORD m_nextCookie = 1;
};

// The classes the engine's process serves (its class-object table).
extern const ClassEntry kEngineClasses[1];

}  // namespace tdm::engine
