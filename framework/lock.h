// An exclusive lock for state shared by the browser threads of the process.
//
// A slim reader/writer lock taken exclusively: statically initialised (usable
// from the first call into the module, whatever the order of static
// construction), never throws, and fits std::lock_guard. It is not recursive:
// code holding it must not call anything that could come back for it.
#pragma once

#include <windows.h>

namespace tdm {

class srw_lock
{
public:
    constexpr srw_lock() noexcept = default;
    srw_lock(const srw_lock&) = delete;
    srw_lock& operator=(const srw_lock&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&m_lock); }
    bool try_lock() noexcept { return ::TryAcquireSRWLockExclusive(&m_lock) != FALSE; }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&m_lock); }
    // For SleepConditionVariableSRW, with the lock held.
    SRWLOCK* native() noexcept { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

}  // namespace tdm
