// One small owner for every kind of Windows resource: a value, the value that
// means "none", and the call that releases it. Each kind is an alias below, so
// the examining code never calls a release function itself and every early
// return and exception releases what it holds.
#pragma once

#include <utility>

#include "platform/win32.h"

template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept : value_(Traits::invalid()) {}
    explicit UniqueResource(Value value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    [[nodiscard]] Value get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid()) noexcept
    {
        Value old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }

private:
    Value value_;
};

struct FileHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value value) noexcept { CloseHandle(value); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value value) noexcept { FindClose(value); }
};

// Token, process and thread handles come back through out-parameters and
// are null when absent.
struct NullableHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value value) noexcept { CloseHandle(value); }
};

using UniqueHandle = UniqueResource<FileHandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueTokenHandle = UniqueResource<NullableHandleTraits>;
using UniqueProcessHandle = UniqueResource<NullableHandleTraits>;
