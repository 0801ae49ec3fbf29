#include "AviHeaderRepair.h"

#include <cstring>
#include <memory>
#include <new>

#include "../core/UniqueHandle.h"

namespace {

constexpr DWORD kMaxHeaderList = 1 << 20;
// dwScale, dwRate and dwLength within the 'strh' data.
constexpr DWORD kScaleOffset = 20;
constexpr DWORD kRateOffset = 24;
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
// 'strh' data, or 0 when there is none.
DWORD findAudioHeader(const BYTE* list, DWORD size)
{
    for (DWORD at = 4; at + 8 <= size;) {
        DWORD chunkSize = word(list + at + 4);
        if (chunkSize > size - at - 8)
            return 0;
        if (std::memcmp(list + at, "LIST", 4) == 0 && chunkSize >= 4 + 8 + kLengthOffset + 4
            && std::memcmp(list + at + 8, "strl", 4) == 0 && std::memcmp(list + at + 12, "strh", 4) == 0
            && word(list + at + 16) >= kLengthOffset + 4 && std::memcmp(list + at + 20, "auds", 4) == 0)
            return at + 20;
        at += 8 + chunkSize + (chunkSize & 1);
    }
    return 0;
}

// Writes `value` at `offset` of the header data unless it is there already (or 0 when `optional`).
bool patch(HANDLE file, BYTE* list, DWORD header, DWORD offset, DWORD value, bool optional)
{
    if ((optional && value == 0) || word(list + header + offset) == value)
        return true;
    return writeAt(file, 20 + header + offset, &value, sizeof(value));
}

} // namespace

bool repairAudioHeader(const char* fileName, const AudioHeaderFields& fields)
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
    DWORD header = findAudioHeader(list.get(), listSize);
    if (header == 0)
        return false;
    return patch(file.get(), list.get(), header, kLengthOffset, fields.length, false)
        && patch(file.get(), list.get(), header, kScaleOffset, fields.scale, true)
        && patch(file.get(), list.get(), header, kRateOffset, fields.rate, true);
}
