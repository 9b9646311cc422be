// The numbers the download engine and its clients agree on: the bits of a
// download's state and the DISPIDs of the engine's events. The engine server
// and the client both include this header; the event numbers are those of
// _IDownloadEngineEvents in engine.idl.
//
// Plain integral types only (LONG and DISPID are both `long`), so that the
// header can come before or after any Windows or Winsock header.
#pragma once

namespace tdm {

// Bits of a download's state as the engine reports it.
inline constexpr long kStateRunning = 0x01;       // running, elapsed time not advancing
inline constexpr long kStateTransferring = 0x02;  // running; elapsed time advances every second
inline constexpr long kStateComplete = 0x04;
inline constexpr long kStateStopped = 0x08;       // the state of a new download
inline constexpr long kStateError = 0x10;         // with another bit: running again, or ended, after an error

// Resume support of a download (column 9 of the download list).
inline constexpr long kResumeNo = 0;
inline constexpr long kResumeYes = 1;
inline constexpr long kResumeNotKnown = 2;  // the server has not shown it yet

// Connections per download (IDownloadEngine2::SetConnections).
inline constexpr long kMinConnections = 1;
inline constexpr long kMaxConnections = 16;

// The longest texts IDownloadEngine2 takes with a download of a page, in
// characters: its Referer and its User-Agent. Longer ones are refused.
inline constexpr unsigned long kMaxReferrerLength = 4096;
inline constexpr unsigned long kMaxUserAgentLength = 1024;

// DISPIDs of the events of _IDownloadEngineEvents.
enum EngineEvent : long
{
    kEventAdded = 1,
    kEventStateChanged = 2,
    kEventStopped = 3,
    kEventDeleted = 4,
    kEventFileInfo = 5,
    kEventResumeSupport = 6,
    kEventProgress = 7,
    kEventCompleted = 8,
    kEventError = 9,
    kEventMoved = 10,
    kEventSpeedLimit = 11,
    kEventInfoChanged = 12,
    kEventRestarted = 13,
    kEventCredentials = 14,
    kEventLogOption = 15,
    kEventLanguage = 16,
    kEventSections = 17,
    kEventSectionProgress = 18,
    kEventSectionFinished = 19,
    kEventPriority = 20,
    kEventTrafficMode = 21,
    kEventRenamed = 22,
    kEventInterface = 23,
};

}  // namespace tdm
