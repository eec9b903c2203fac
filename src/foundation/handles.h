// Thin non-copyable owners of Win32 handles: each closes on every path.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <utility>

namespace qs {

// Owner of a handle value with a close function; Invalid is the "none" value.
template <typename T, T Invalid, typename Closer>
class UniqueValue {
public:
    UniqueValue() = default;
    explicit UniqueValue(T value) : value_(value) {}
    UniqueValue(const UniqueValue&) = delete;
    UniqueValue& operator=(const UniqueValue&) = delete;
    UniqueValue(UniqueValue&& other) noexcept : value_(other.release()) {}
    UniqueValue& operator=(UniqueValue&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueValue() { reset(); }

    T get() const { return value_; }
    bool valid() const { return value_ != Invalid; }
    explicit operator bool() const { return valid(); }
    T release() { return std::exchange(value_, Invalid); }
    void reset(T value = Invalid) {
        T old = std::exchange(value_, value);
        if (old != Invalid) Closer{}(old);
    }

private:
    T value_ = Invalid;
};

struct HandleCloser { void operator()(HANDLE h) const { ::CloseHandle(h); } };
struct SocketCloser { void operator()(SOCKET s) const { ::closesocket(s); } };
struct KeyCloser { void operator()(HKEY k) const { ::RegCloseKey(k); } };

// Kernel objects that report failure as NULL (threads, events, tokens).
using UniqueHandle = UniqueValue<HANDLE, nullptr, HandleCloser>;
// CreateFile and friends, which report failure as INVALID_HANDLE_VALUE.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(HANDLE h) : h_(h) {}
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
    UniqueFile& operator=(UniqueFile&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, INVALID_HANDLE_VALUE));
        return *this;
    }
    ~UniqueFile() { reset(); }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        HANDLE old = std::exchange(h_, h);
        if (old != INVALID_HANDLE_VALUE && old != nullptr) ::CloseHandle(old);
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};
using UniqueSocket = UniqueValue<SOCKET, INVALID_SOCKET, SocketCloser>;
using UniqueKey = UniqueValue<HKEY, nullptr, KeyCloser>;

}  // namespace qs
