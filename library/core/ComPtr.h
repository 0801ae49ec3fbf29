#pragma once

#include <unknwn.h>

#include <utility>

// Owns one COM reference. put() releases the old pointer first, so it can be
// handed straight to a call that returns an interface.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes a reference of its own to `p`.
    explicit ComPtr(T* p) : ptr(p) { if (ptr) ptr->AddRef(); }
    ComPtr(const ComPtr& other) : ComPtr(other.ptr) {}
    ComPtr(ComPtr&& other) noexcept : ptr(std::exchange(other.ptr, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept { std::swap(ptr, other.ptr); return *this; }
    ~ComPtr() { reset(); }

    T* get() const { return ptr; }
    T* operator->() const { return ptr; }
    explicit operator bool() const { return ptr != nullptr; }

    void reset()
    {
        if (T* old = std::exchange(ptr, nullptr))
            old->Release();
    }
    T** put() { reset(); return &ptr; }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    // Gives up the reference to the caller.
    T* detach() { return std::exchange(ptr, nullptr); }

    template <typename U>
    HRESULT as(ComPtr<U>& other) const
    {
        return ptr ? ptr->QueryInterface(__uuidof(U), other.putVoid()) : E_POINTER;
    }

private:
    T* ptr = nullptr;
};

// Releases a raw interface pointer that holds a reference, and clears it.
template <typename T>
void releaseAndClear(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}
