// Indivisible access to fields that more than one context touches.
//
// Every shared flag, mode byte, event word and pointer of the driver is a
// Shared<T>: one load or one store of the whole field, relaxed unless the
// hand-off needs ordering. The compiler's atomic built-ins need no run-time
// library, so the same code serves the kernel image and the host build, where
// ThreadSanitizer sees every access.

#ifndef KVR_SHARED_H
#define KVR_SHARED_H

template <typename T> struct Shared {
    T Value;

    T Load() const { return __atomic_load_n(&Value, __ATOMIC_RELAXED); }
    T LoadAcquire() const { return __atomic_load_n(&Value, __ATOMIC_ACQUIRE); }
    void Store(T NewValue) { __atomic_store_n(&Value, NewValue, __ATOMIC_RELAXED); }
    void StoreRelease(T NewValue) { __atomic_store_n(&Value, NewValue, __ATOMIC_RELEASE); }

    // Replaces the value only if it still equals Expected; on failure
    // Expected receives the value found.
    bool CompareExchange(T &Expected, T Desired)
    {
        return __atomic_compare_exchange_n(&Value, &Expected, Desired, false, __ATOMIC_ACQ_REL,
                                           __ATOMIC_ACQUIRE);
    }
};

// Byte-wise relaxed copies, for memory that another context may write one
// byte at a time while it is read (reply buffers, identifier texts).
inline void SharedCopyIn(unsigned char *Destination, const unsigned char *Source, unsigned Length)
{
    for (unsigned i = 0; i < Length; ++i)
        Destination[i] = __atomic_load_n(&Source[i], __ATOMIC_RELAXED);
}

inline void SharedCopyOut(unsigned char *Destination, const unsigned char *Source, unsigned Length)
{
    for (unsigned i = 0; i < Length; ++i)
        __atomic_store_n(&Destination[i], Source[i], __ATOMIC_RELAXED);
}

#endif // KVR_SHARED_H
