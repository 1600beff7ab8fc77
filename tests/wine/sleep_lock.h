// A small lock for the stand-in drivers: an interlocked flag, and a 1 ms sleep
// between attempts while another thread holds it. The stand-ins do not use
// KMUTEX because Wine's KeReleaseMutex never releases the server mutex that
// backs a contended KMUTEX, so a second waiter would block for ever.

#ifndef KVRWINE_SLEEP_LOCK_H
#define KVRWINE_SLEEP_LOCK_H

struct SLEEP_LOCK {
    volatile LONG Held;
};

inline void SleepBriefly()
{
    LARGE_INTEGER Interval;
    Interval.QuadPart = -10000; // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}

inline void AcquireSleepLock(SLEEP_LOCK *Lock)
{
    while (InterlockedCompareExchange(&Lock->Held, 1, 0) != 0)
        SleepBriefly();
}

inline void ReleaseSleepLock(SLEEP_LOCK *Lock)
{
    InterlockedExchange(&Lock->Held, 0);
}

#endif // KVRWINE_SLEEP_LOCK_H
