#include "AviHeaderRepair.h"

#include <cstring>
#include <memory>
#include <new>

#include "../core/UniqueHandle.h"

namespace {

constexpr DWORD kMaxHeaderList = 1 << 20;
// dwLength within the 'strh' data.
constexpr DWORD kLengthOffset = 32;

bool readAt(HANDLE file, DWORD offset, void* buffer, DWORD size)
{
    DWORD read = 0;
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) == offset && ReadFile(file, buffer, size, &read, nullptr)
        && read == size;
}

bool writeAt(HANDLE file, DWORD offset, const void* buffer, DWORD size)
{
    DWORD written = 0;
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) == offset
        && WriteFile(file, buffer, size, &written, nullptr) && written == size;
}

DWORD word(const BYTE* p)
{
    DWORD value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

// Offset within `list` (the data of LIST 'hdrl') of the audio stream's
// length field, or 0 when there is none.
DWORD findAudioLength(const BYTE* list, DWORD size)
{
    for (DWORD at = 4; at + 8 <= size;) {
        DWORD chunkSize = word(list + at + 4);
        if (chunkSize > size - at - 8)
            return 0;
        if (std::memcmp(list + at, "LIST", 4) == 0 && chunkSize >= 4 + 8 + kLengthOffset + 4
            && std::memcmp(list + at + 8, "strl", 4) == 0 && std::memcmp(list + at + 12, "strh", 4) == 0
            && word(list + at + 16) >= kLengthOffset + 4 && std::memcmp(list + at + 20, "auds", 4) == 0)
            return at + 20 + kLengthOffset;
        at += 8 + chunkSize + (chunkSize & 1);
    }
    return 0;
}

} // namespace

bool repairAudioLength(const char* fileName, DWORD length)
{
    FileHandle file(CreateFileA(fileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    BYTE head[24];
    if (!file || !readAt(file.get(), 0, head, sizeof(head)) || std::memcmp(head, "RIFF", 4) != 0
        || std::memcmp(head + 8, "AVI ", 4) != 0 || std::memcmp(head + 12, "LIST", 4) != 0
        || std::memcmp(head + 20, "hdrl", 4) != 0)
        return false;
    DWORD listSize = word(head + 16);
    if (listSize < 4 || listSize > kMaxHeaderList)
        return false;
    std::unique_ptr<BYTE[]> list(new (std::nothrow) BYTE[listSize]);
    if (!list || !readAt(file.get(), 20, list.get(), listSize))
        return false;
    DWORD at = findAudioLength(list.get(), listSize);
    if (at == 0)
        return false;
    if (word(list.get() + at) == length)
        return true;
    return writeAt(file.get(), 20 + at, &length, sizeof(length));
}
