// The engine's events as the core sends them: the arguments and where they go.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/automation.h"

namespace tdm::engine {

// One event argument: its value and whether the sinks get it by reference.
struct EventArgument
{
    unique_variant value;
    bool byReference = false;
};

// Where the core's events go (the COM layer: every connected sink).
class CEngineEvents
{
public:
    using AnswerHandler = std::function<void(std::vector<EventArgument>& answer)>;

    // Sends event `dispid` with `arguments` in declaration order and returns at
    // once. By-reference arguments (a claimed flag) go from client to client,
    // each getting what the one before left in them.
    virtual void Fire(DISPID dispid, std::vector<EventArgument> arguments) noexcept = 0;
    // Asks the clients in turn until one sets the flag at `claimedIndex`, each
    // for a limited time, and then calls `answered` on the main thread with
    // the arguments as that client left them (as sent when none answered).
    virtual void Ask(DISPID dispid, std::vector<EventArgument> arguments, size_t claimedIndex,
                     AnswerHandler answered) noexcept = 0;

protected:
    ~CEngineEvents() = default;
};

// Event arguments by type; Text and Flag by reference when `byReference`.
EventArgument Long(long value);
EventArgument Double(double value, VARTYPE type = VT_R8);
EventArgument Flag(bool value, bool byReference = false);
EventArgument Text(const std::wstring& text, bool byReference = false);
EventArgument Word(unsigned short value);

// The arguments of an event, in declaration order (moved: they own their values).
template <typename... Arguments>
std::vector<EventArgument> Args(Arguments&&... arguments)
{
    std::vector<EventArgument> list;
    list.reserve(sizeof...(Arguments));
    (list.push_back(std::move(arguments)), ...);
    return list;
}

// The text or flag a client left in an argument (empty or false when it left
// another type).
std::wstring TextOf(const EventArgument& argument);
bool FlagOf(const EventArgument& argument);

}  // namespace tdm::engine
