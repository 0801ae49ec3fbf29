#pragma once

#include <windows.h>

// A move-only owner of a kernel handle. Traits say which value means none:
// null for events and threads, INVALID_HANDLE_VALUE for files. reset keeps
// GetLastError intact, so a failure can be read after the clean-up.
template <typename Traits>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return handle; }
    explicit operator bool() const { return handle != Traits::invalid(); }
    HANDLE release()
    {
        HANDLE h = handle;
        handle = Traits::invalid();
        return h;
    }
    void reset(HANDLE value = Traits::invalid())
    {
        if (handle != Traits::invalid()) {
            DWORD error = GetLastError();
            CloseHandle(handle);
            SetLastError(error);
        }
        handle = value;
    }

private:
    HANDLE handle = Traits::invalid();
};

struct NullHandleTraits {
    static HANDLE invalid() { return nullptr; }
};

struct FileHandleTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
};

using EventHandle = UniqueHandle<NullHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
