// The one piece of GoogleTest that needs std::mutex and std::condition_variable,
// which the win32 thread model of MinGW-w64 (the model of everything built here,
// so that no module carries the POSIX thread runtime) does not have. Force-included
// before GoogleTest's own headers, with GTEST_HAS_NOTIFICATION_ set.
#pragma once

#include <windows.h>

namespace testing::internal {

// Lets a controller thread hold new threads until it notifies them.
class Notification
{
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify()
    {
        ::AcquireSRWLockExclusive(&m_lock);
        m_notified = true;
        ::ReleaseSRWLockExclusive(&m_lock);
        ::WakeAllConditionVariable(&m_condition);
    }

    void WaitForNotification()
    {
        ::AcquireSRWLockExclusive(&m_lock);
        while (!m_notified)
            ::SleepConditionVariableSRW(&m_condition, &m_lock, INFINITE, 0);
        ::ReleaseSRWLockExclusive(&m_lock);
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
    bool m_notified = false;
};

}  // namespace testing::internal
