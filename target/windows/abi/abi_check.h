// Compile-time comparison of our platform declarations with the DDK headers.
//
// Each check file reads driver/platform/kvr_platform.h inside namespace ours
// and the tool chain's DDK headers at global scope, then compares sizes,
// alignments, member offsets, constant values and routine signatures. Any
// difference is a static_assert failure, so it stops the cross build.

#ifndef KVR_ABI_CHECK_H
#define KVR_ABI_CHECK_H

namespace abi
{

// The few type traits the comparison needs, written out so that the check
// needs no C++ library for the Windows target, only the compiler and the DDK
// headers.
template <typename T> struct RemoveCv {
    using Type = T;
};
template <typename T> struct RemoveCv<const T> {
    using Type = T;
};
template <typename T> struct RemoveCv<volatile T> {
    using Type = T;
};
template <typename T> struct RemoveCv<const volatile T> {
    using Type = T;
};

template <typename T> constexpr bool IsVoidOf = false;
template <> constexpr bool IsVoidOf<void> = true;
template <typename T> constexpr bool IsVoid = IsVoidOf<typename RemoveCv<T>::Type>;

template <typename T> constexpr bool IsPointerOf = false;
template <typename T> constexpr bool IsPointerOf<T *> = true;
template <typename T> constexpr bool IsPointer = IsPointerOf<typename RemoveCv<T>::Type>;

template <typename T> constexpr bool IsIntegerOf = false;
template <> constexpr bool IsIntegerOf<bool> = true;
template <> constexpr bool IsIntegerOf<char> = true;
template <> constexpr bool IsIntegerOf<signed char> = true;
template <> constexpr bool IsIntegerOf<unsigned char> = true;
template <> constexpr bool IsIntegerOf<wchar_t> = true;
template <> constexpr bool IsIntegerOf<char8_t> = true;
template <> constexpr bool IsIntegerOf<char16_t> = true;
template <> constexpr bool IsIntegerOf<char32_t> = true;
template <> constexpr bool IsIntegerOf<short> = true;
template <> constexpr bool IsIntegerOf<unsigned short> = true;
template <> constexpr bool IsIntegerOf<int> = true;
template <> constexpr bool IsIntegerOf<unsigned int> = true;
template <> constexpr bool IsIntegerOf<long> = true;
template <> constexpr bool IsIntegerOf<unsigned long> = true;
template <> constexpr bool IsIntegerOf<long long> = true;
template <> constexpr bool IsIntegerOf<unsigned long long> = true;
template <typename T> constexpr bool IsInteger = IsIntegerOf<typename RemoveCv<T>::Type>;

// Size, alignment and kind of a parameter or result type.
struct Shape {
    unsigned Size;
    unsigned Align;
    int Kind; // 0 void, 1 pointer, 2 enum, 3 signed integer, 4 unsigned integer, 5 other

    constexpr bool operator==(const Shape &) const = default;
};

template <typename T> constexpr Shape ShapeOf()
{
    if constexpr (IsVoid<T>)
        return {0, 0, 0};
    else if constexpr (IsPointer<T>)
        return {sizeof(T), alignof(T), 1};
    else if constexpr (__is_enum(T))
        return {sizeof(T), alignof(T), 2};
    else if constexpr (IsInteger<T>)
        return {sizeof(T), alignof(T), T(-1) < T(0) ? 3 : 4};
    else
        return {sizeof(T), alignof(T), 5};
}

template <typename F> struct Signature;

template <typename R, typename... A> struct Signature<R (*)(A...)> {
    static constexpr unsigned Arity = sizeof...(A);
    static constexpr Shape Result = ShapeOf<R>();
    static constexpr Shape Params[sizeof...(A) + 1] = {ShapeOf<A>()..., Shape{0, 0, 0}};
};

// Two function-pointer types take and return the same machine shapes: the
// same number of parameters, each of the same size, alignment and kind.
template <typename F, typename G> constexpr bool SameSignature()
{
    using SF = Signature<F>;
    using SG = Signature<G>;
    if (SF::Arity != SG::Arity || !(SF::Result == SG::Result))
        return false;
    for (unsigned i = 0; i < SF::Arity; ++i)
        if (!(SF::Params[i] == SG::Params[i]))
            return false;
    return true;
}

// The same, for a routine that our header declares without a result where the
// platform returns one: on x64 the result comes back in a register that the
// caller is free to ignore, so only the parameters must agree.
template <typename F, typename G> constexpr bool SameParameters()
{
    using SF = Signature<F>;
    using SG = Signature<G>;
    if (SF::Arity != SG::Arity || SF::Result.Kind != 0)
        return false;
    for (unsigned i = 0; i < SF::Arity; ++i)
        if (!(SF::Params[i] == SG::Params[i]))
            return false;
    return true;
}

template <typename A, typename B> constexpr bool SameLayout()
{
    return sizeof(A) == sizeof(B) && alignof(A) == alignof(B);
}

template <typename A, typename B> constexpr bool SameScalar()
{
    return ShapeOf<A>() == ShapeOf<B>();
}

template <typename A, typename B> constexpr bool SameGuid(const A &Ours, const B &Theirs)
{
    if (Ours.Data1 != Theirs.Data1 || Ours.Data2 != Theirs.Data2 || Ours.Data3 != Theirs.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (Ours.Data4[i] != Theirs.Data4[i])
            return false;
    return true;
}

} // namespace abi

// Type T has the DDK's size and alignment.
#define KVR_SAME_TYPE(T) static_assert(abi::SameLayout<ours::T, ::T>(), "size or alignment of " #T)

// A scalar typedef has the DDK's size, alignment and signedness.
#define KVR_SAME_SCALAR(T) static_assert(abi::SameScalar<ours::T, ::T>(), "scalar type " #T)

// Member Ours of our T lies where the DDK's member Theirs lies, with its size.
#define KVR_SAME_MEMBER_AS(T, Ours, Theirs)                                                        \
    static_assert(__builtin_offsetof(ours::T, Ours) == __builtin_offsetof(::T, Theirs) &&          \
                      sizeof(static_cast<ours::T *>(nullptr)->Ours) ==                             \
                          sizeof(static_cast<::T *>(nullptr)->Theirs),                             \
                  "offset or size of " #T "::" #Ours)

#define KVR_SAME_MEMBER(T, M) KVR_SAME_MEMBER_AS(T, M, M)

// An enumerator has the DDK's value.
#define KVR_SAME_ENUMERATOR(E)                                                                     \
    static_assert(static_cast<long long>(ours::E) == static_cast<long long>(::E),                  \
                  "value of enumerator " #E)

// A callback type takes and returns what the DDK's does.
#define KVR_SAME_CALLBACK_AS(Ours, Theirs)                                                         \
    static_assert(abi::SameSignature<ours::Ours, ::Theirs>(), "signature of " #Ours)

#define KVR_SAME_CALLBACK(T) KVR_SAME_CALLBACK_AS(T, T)

// Before the DDK headers are read: keep our value of constant N as Our_N,
// since the DDK defines many of these names as macros.
#define KVR_CAPTURE_CONSTANT(N) constexpr auto Our_##N = ours::N;

// After the DDK headers: compare the kept value with the DDK's.
#define KVR_COMPARE_CONSTANT(N)                                                                    \
    static_assert(static_cast<long long>(Our_##N) == static_cast<long long>(N),                    \
                  "value of constant " #N);

// Before the DDK headers: keep the type of our routine R as Our_R; the check
// file renames the DDK's declaration of R to Ddk_R, because both are extern
// "C" and their parameter types differ in name (char16_t against wchar_t).
#define KVR_CAPTURE_ROUTINE(R) using Our_##R = decltype(&ours::R);

#define KVR_COMPARE_ROUTINE(R)                                                                     \
    static_assert(abi::SameSignature<Our_##R, decltype(&Ddk_##R)>(), "signature of routine " #R);

#define KVR_COMPARE_ROUTINE_RESULT_IGNORED(R)                                                      \
    static_assert(abi::SameParameters<Our_##R, decltype(&Ddk_##R)>(), "parameters of "             \
                                                                      "routine " #R);

#endif // KVR_ABI_CHECK_H
