// Indivisible access to fields that more than one context touches.
//
// Every shared flag, mode byte, event word and pointer of the driver is a
// Shared<T>: one load or one store of the whole field, relaxed unless the
// hand-off needs ordering. The compiler's atomic built-ins need no run-time
// library, so the same code serves the kernel image and the host build, where
// ThreadSanitizer sees every access.
//
// Because every shared access passes through here, these are also the points
// where the host build's interleaving explorer (sim/explore/explore.h) may switch to
// another simulated thread, just before the access. The kernel image has no
// such point: SharedAccessPoint is empty there.

#ifndef KVR_SHARED_H
#define KVR_SHARED_H

// SharedRegionEnter and SharedRegionLeave mark a region of code that touches
// plain fields guarded by one lock (below).
enum SHARED_ACCESS_KIND {
    SharedLoad = 0,
    SharedStore = 1,
    SharedUpdate = 2,
    SharedRegionEnter = 6,
    SharedRegionLeave = 7
};

#if defined(KVR_KERNEL_TARGET) && !KVR_KERNEL_TARGET
// Host build: the simulated kernel sets the flag while it explores
// interleavings; otherwise a shared access costs one extra relaxed load.
extern "C" int KvrSwitchPointsOn;
extern "C" void KvrSwitchPoint(const volatile void *Address, int Kind);

inline void SharedAccessPoint(const volatile void *Address, SHARED_ACCESS_KIND Kind)
{
    if (__builtin_expect(__atomic_load_n(&KvrSwitchPointsOn, __ATOMIC_RELAXED), 0))
        KvrSwitchPoint(Address, Kind);
}
#else
inline void SharedAccessPoint(const volatile void *, SHARED_ACCESS_KIND) {}
#endif

template <typename T> struct Shared {
    T Value;

    T Load() const
    {
        SharedAccessPoint(&Value, SharedLoad);
        return __atomic_load_n(&Value, __ATOMIC_RELAXED);
    }
    T LoadAcquire() const
    {
        SharedAccessPoint(&Value, SharedLoad);
        return __atomic_load_n(&Value, __ATOMIC_ACQUIRE);
    }
    void Store(T NewValue)
    {
        SharedAccessPoint(&Value, SharedStore);
        __atomic_store_n(&Value, NewValue, __ATOMIC_RELAXED);
    }
    void StoreRelease(T NewValue)
    {
        SharedAccessPoint(&Value, SharedStore);
        __atomic_store_n(&Value, NewValue, __ATOMIC_RELEASE);
    }

    // Replaces the value only if it still equals Expected; on failure
    // Expected receives the value found.
    bool CompareExchange(T &Expected, T Desired)
    {
        SharedAccessPoint(&Value, SharedUpdate);
        return __atomic_compare_exchange_n(&Value, &Expected, Desired, false, __ATOMIC_ACQ_REL,
                                           __ATOMIC_ACQUIRE);
    }
};

// Plain fields that a lock guards are touched without Shared<T>: the code
// between these two marks touches them, and the explorer orders each of its
// steps against the steps of other contexts in a region of the same fields
// (Fields: one address that stands for them all), whether or not the lock
// excludes. Nothing in the kernel image.
inline void EnterFieldRegion(const volatile void *Fields)
{
    SharedAccessPoint(Fields, SharedRegionEnter);
}

inline void LeaveFieldRegion(const volatile void *Fields)
{
    SharedAccessPoint(Fields, SharedRegionLeave);
}

// Byte-wise relaxed copies, for memory that another context may write one
// byte at a time while it is read (reply buffers, identifier texts).
inline void SharedCopyIn(unsigned char *Destination, const unsigned char *Source, unsigned Length)
{
    for (unsigned i = 0; i < Length; ++i) {
        SharedAccessPoint(&Source[i], SharedLoad);
        Destination[i] = __atomic_load_n(&Source[i], __ATOMIC_RELAXED);
    }
}

inline void SharedCopyOut(unsigned char *Destination, const unsigned char *Source, unsigned Length)
{
    for (unsigned i = 0; i < Length; ++i) {
        SharedAccessPoint(&Destination[i], SharedStore);
        __atomic_store_n(&Destination[i], Source[i], __ATOMIC_RELAXED);
    }
}

#endif // KVR_SHARED_H
