#include "AviFileCheck.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include <windows.h>

#include "../core/RunsUnderWine.h"
#include "../core/UniqueHandle.h"

namespace AviFileCheck {

namespace {

using U64 = std::uint64_t;

constexpr DWORD fourcc(const char (&text)[5])
{
    return static_cast<DWORD>(static_cast<BYTE>(text[0])) | static_cast<DWORD>(static_cast<BYTE>(text[1])) << 8
        | static_cast<DWORD>(static_cast<BYTE>(text[2])) << 16 | static_cast<DWORD>(static_cast<BYTE>(text[3])) << 24;
}

constexpr DWORD kRiff = fourcc("RIFF");
constexpr DWORD kList = fourcc("LIST");
constexpr DWORD kHasIndex = 0x10; // AVIF_HASINDEX
// The platform parser holds at most this many streams.
constexpr DWORD kMaxStreams = 64;
// Far beyond any real picture, far below what overflows the platform's buffer sizes.
constexpr DWORD kMaxImageSize = DWORD(1) << 28;
constexpr DWORD kMaxColours = 256;
// Sizes of the fixed parts of the records the parser reads.
constexpr DWORD kMainHeaderSize = 56;
constexpr DWORD kStreamHeaderSize = 48;
constexpr DWORD kBitmapHeaderSize = 40;
constexpr DWORD kWaveFormatSize = 16;
constexpr DWORD kWaveFormatExSize = 18;
constexpr DWORD kIndexEntrySize = 16;
constexpr DWORD kIndexBlock = 4096;
// Writers nest 'rec ' lists one level inside 'movi'; a file nesting deeper
// would only make the walk recurse.
constexpr int kMaxListDepth = 4;

DWORD word32(const BYTE* p)
{
    DWORD value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

WORD word16(const BYTE* p)
{
    WORD value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

U64 word64(const BYTE* p)
{
    U64 value;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

class File {
public:
    explicit File(const char* fileName)
        : handle(CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr))
    {
        LARGE_INTEGER length;
        if (handle && GetFileSizeEx(handle.get(), &length))
            fileSize = static_cast<U64>(length.QuadPart);
        else
            handle.reset();
    }
    bool opened() const { return static_cast<bool>(handle); }
    U64 size() const { return fileSize; }
    bool read(U64 offset, void* buffer, DWORD count) const
    {
        if (offset > fileSize || count > fileSize - offset)
            return false;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD got = 0;
        return SetFilePointerEx(handle.get(), at, nullptr, FILE_BEGIN)
            && ReadFile(handle.get(), buffer, count, &got, nullptr) && got == count;
    }
    bool read(U64 offset, std::vector<BYTE>& buffer, DWORD count) const
    {
        buffer.assign(count, 0);
        return count == 0 || read(offset, buffer.data(), count);
    }

private:
    FileHandle handle;
    U64 fileSize = 0;
};

struct Chunk {
    DWORD id = 0;
    DWORD size = 0;
    // For lists, the list type; else 0.
    DWORD type = 0;
    U64 data = 0;
    U64 end() const { return data + size; }
};

// Walks the chunks of one parent, [begin, end) of the file.
class Children {
public:
    Children(const File& file, U64 begin, U64 end) : file(file), at(begin), end(end) {}
    // False at the end of the parent (fewer than 8 bytes left) or after a
    // fault, which `verdict` then holds.
    bool next(Chunk& chunk)
    {
        if (verdict != Verdict::Safe || at + 8 > end)
            return false;
        BYTE head[12];
        if (!file.read(at, head, 8))
            return fail(Verdict::ChunkOutOfBounds);
        chunk.id = word32(head);
        chunk.size = word32(head + 4);
        chunk.data = at + 8;
        chunk.type = 0;
        if (chunk.end() > end)
            return fail(Verdict::ChunkOutOfBounds);
        if (chunk.id == kRiff || chunk.id == kList) {
            if (chunk.size < 4 || !file.read(chunk.data, head + 8, 4))
                return fail(Verdict::ChunkOutOfBounds);
            chunk.type = word32(head + 8);
        }
        // An odd chunk is padded to an even size; the pad of the last chunk may be missing.
        at = chunk.end() + (chunk.size & 1);
        return true;
    }
    Verdict fault() const { return verdict; }

private:
    bool fail(Verdict v)
    {
        verdict = v;
        return false;
    }
    const File& file;
    U64 at;
    U64 end;
    Verdict verdict = Verdict::Safe;
};

// The children of a list, after its type.
Children inside(const File& file, const Chunk& list)
{
    return Children(file, list.data + 4, list.end());
}

Verdict readChunk(const File& file, const Chunk& chunk, std::vector<BYTE>& bytes, DWORD minimumSize, Verdict tooShort)
{
    if (chunk.size < minimumSize)
        return tooShort;
    return file.read(chunk.data, bytes, chunk.size) ? Verdict::Safe : Verdict::ChunkOutOfBounds;
}

Verdict checkVideoFormat(const std::vector<BYTE>& format)
{
    if (format.size() < kBitmapHeaderSize)
        return Verdict::BadVideoFormat;
    const BYTE* p = format.data();
    DWORD headerSize = word32(p);
    WORD bitCount = word16(p + 14);
    DWORD imageSize = word32(p + 20);
    DWORD colours = word32(p + 32);
    if (headerSize < kBitmapHeaderSize || headerSize > format.size())
        return Verdict::BadVideoFormat;
    // Frame dimensions and a true-colour format's colour counts are left to
    // the sources, which refuse absurd frames with their format code and
    // never pass stored colour counts on to the platform.
    if (bitCount > 64 || imageSize > kMaxImageSize || (bitCount <= 8 && colours > kMaxColours))
        return Verdict::BadVideoFormat;
    // The parser gives a paletted format without a colour count the full table,
    // and the frame extraction copies that many entries from the stored format.
    if (bitCount <= 8 && bitCount != 0) {
        U64 entries = colours != 0 ? colours : U64(1) << bitCount;
        if (U64(headerSize) + entries * 4 > format.size())
            return Verdict::BadVideoFormat;
    }
    return Verdict::Safe;
}

// The sample size the parser uses for an audio stream: the stored format's
// block size under Wine, the stream header's under Windows.
DWORD audioSampleSize(DWORD headerSampleSize, WORD blockAlign)
{
    return runsUnderWine() ? blockAlign : headerSampleSize;
}

Verdict checkAudioFormat(const std::vector<BYTE>& format)
{
    if (format.size() < kWaveFormatSize)
        return Verdict::BadAudioFormat;
    const BYTE* p = format.data();
    WORD tag = word16(p);
    if (word16(p + 2) == 0 || word32(p + 4) == 0 || word16(p + 12) == 0)
        return Verdict::BadAudioFormat;
    // PCM formats are read as 16 bytes whatever follows; others as 18 + cbSize.
    if (tag != WAVE_FORMAT_PCM && format.size() >= kWaveFormatExSize
        && U64(kWaveFormatExSize) + word16(p + 16) > format.size())
        return Verdict::BadAudioFormat;
    return Verdict::Safe;
}

struct Stream {
    DWORD type = 0;
    DWORD scale = 0;
    DWORD rate = 0;
    DWORD start = 0;
    DWORD length = 0;
    // The header's sample size, and the one the platform reads with.
    DWORD headerSampleSize = 0;
    DWORD sampleSize = 0;
    // What the index (or the 'movi' walk) gives.
    U64 chunks = 0;
    U64 bytes = 0;
    // Where the size of each chunk goes, for the one stream that asks.
    std::vector<DWORD>* sizes = nullptr;
};

// OpenDML super index: the standard indexes it names lie inside the file.
Verdict checkSuperIndex(const File& file, const Chunk& chunk)
{
    std::vector<BYTE> bytes;
    if (Verdict v = readChunk(file, chunk, bytes, 24, Verdict::BadIndex); v != Verdict::Safe)
        return v;
    const BYTE* p = bytes.data();
    // Only an index of indexes (type 0) with 4 longs per entry names chunks.
    if (word16(p) != 4 || p[3] != 0)
        return Verdict::Safe;
    U64 entries = word32(p + 4);
    if (24 + entries * 16 > bytes.size())
        return Verdict::BadIndex;
    for (U64 i = 0; i < entries; ++i) {
        const BYTE* entry = p + 24 + i * 16;
        U64 offset = word64(entry);
        U64 size = word32(entry + 8);
        if (offset > file.size() || size > file.size() - offset)
            return Verdict::BadIndex;
    }
    return Verdict::Safe;
}

Verdict checkStreamList(const File& file, const Chunk& list, Stream& stream)
{
    std::vector<BYTE> header, format;
    bool haveHeader = false, haveFormat = false;
    Children children = inside(file, list);
    Chunk chunk;
    while (children.next(chunk)) {
        Verdict v = Verdict::Safe;
        if (chunk.id == fourcc("strh") && !haveHeader) {
            v = readChunk(file, chunk, header, kStreamHeaderSize, Verdict::BadStreamHeader);
            haveHeader = true;
        } else if (chunk.id == fourcc("strf") && !haveFormat) {
            v = file.read(chunk.data, format, chunk.size) ? Verdict::Safe : Verdict::ChunkOutOfBounds;
            haveFormat = true;
        } else if (chunk.id == fourcc("indx")) {
            v = checkSuperIndex(file, chunk);
        }
        if (v != Verdict::Safe)
            return v;
    }
    if (children.fault() != Verdict::Safe)
        return children.fault();
    if (!haveHeader || !haveFormat)
        return Verdict::BadStreamList;
    const BYTE* h = header.data();
    stream.type = word32(h);
    stream.scale = word32(h + 20);
    stream.rate = word32(h + 24);
    stream.start = word32(h + 28);
    stream.length = word32(h + 32);
    stream.headerSampleSize = word32(h + 44);
    stream.sampleSize = stream.headerSampleSize;
    // A zero rate or scale is left to the sources, which refuse it at open.
    bool video = stream.type == fourcc("vids"), audio = stream.type == fourcc("auds");
    if (video)
        return checkVideoFormat(format);
    if (audio) {
        if (Verdict v = checkAudioFormat(format); v != Verdict::Safe)
            return v;
        stream.sampleSize = audioSampleSize(stream.sampleSize, word16(format.data() + 12));
    }
    return Verdict::Safe;
}

// The main header and the stream lists that follow it in 'hdrl'.
Verdict checkHeaderList(const File& file, const Chunk& hdrl, std::vector<Stream>& streams, DWORD& flags)
{
    Children children = inside(file, hdrl);
    Chunk chunk;
    bool found = false;
    while (!found && children.next(chunk))
        found = chunk.id == fourcc("avih");
    if (!found)
        return children.fault() != Verdict::Safe ? children.fault() : Verdict::MissingHeader;
    std::vector<BYTE> main;
    if (Verdict v = readChunk(file, chunk, main, kMainHeaderSize, Verdict::MissingHeader); v != Verdict::Safe)
        return v;
    flags = word32(main.data() + 12);
    DWORD count = word32(main.data() + 24);
    if (count > kMaxStreams)
        return Verdict::BadStreamList;
    // The parser takes the next `count` chunks as the stream lists.
    streams.assign(count, Stream());
    for (Stream& stream : streams) {
        if (!children.next(chunk))
            return children.fault() != Verdict::Safe ? children.fault() : Verdict::BadStreamList;
        if (chunk.id != kList || chunk.type != fourcc("strl"))
            return Verdict::BadStreamList;
        if (Verdict v = checkStreamList(file, chunk, stream); v != Verdict::Safe)
            return v;
    }
    while (children.next(chunk)) {
    }
    return children.fault();
}

// Stream number of a chunk id ("01wb" is 1), or -1 when the id names none.
int streamNumber(DWORD id)
{
    int number = 0;
    for (int i = 0; i < 2; ++i) {
        char c = static_cast<char>((id >> (8 * i)) & 0xFF);
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0)
            return -1;
        number = number * 16 + digit;
    }
    return number;
}

bool isPaletteChange(DWORD id)
{
    return (id >> 16) == (fourcc("00pc") >> 16);
}

// One data chunk of stream `id` at [offset, offset + 8 + length) of the file.
Verdict countChunk(std::vector<Stream>& streams, DWORD id, U64 offset, U64 length, U64 moviBegin, U64 moviEnd)
{
    int number = streamNumber(id);
    if (id == fourcc("rec ") || number < 0)
        return Verdict::Safe;
    if (static_cast<size_t>(number) >= streams.size())
        return Verdict::BadIndex;
    if (offset < moviBegin || offset + 8 + length > moviEnd)
        return Verdict::BadIndex;
    if (!isPaletteChange(id)) {
        streams[number].chunks += 1;
        streams[number].bytes += length;
        if (streams[number].sizes)
            streams[number].sizes->push_back(static_cast<DWORD>(length));
    }
    return Verdict::Safe;
}

// The 'idx1' entries, with their offsets taken as the platform takes them:
// absolute while they lie past 'movi', else relative to the first entry.
Verdict checkIndex(const File& file, const Chunk& idx1, const Chunk& movi, std::vector<Stream>& streams)
{
    const U64 moviPos = movi.data;
    DWORD base = 0;
    bool absolute = true;
    std::vector<BYTE> block;
    U64 total = idx1.size / kIndexEntrySize;
    for (U64 first = 0; first < total; first += kIndexBlock) {
        U64 count = total - first < kIndexBlock ? total - first : kIndexBlock;
        if (!file.read(idx1.data + first * kIndexEntrySize, block, static_cast<DWORD>(count * kIndexEntrySize)))
            return Verdict::ChunkOutOfBounds;
        if (first == 0)
            base = static_cast<DWORD>(moviPos) - word32(block.data() + 8) + 4;
        for (U64 i = 0; i < count; ++i) {
            const BYTE* entry = block.data() + i * kIndexEntrySize;
            DWORD id = word32(entry);
            DWORD offset = word32(entry + 8);
            if (id == fourcc("rec ") || streamNumber(id) < 0)
                continue;
            if (absolute && offset < moviPos)
                absolute = false;
            if (!absolute)
                offset += base;
            Verdict v = countChunk(streams, id, offset, word32(entry + 12), movi.data + 4, movi.end());
            if (v != Verdict::Safe)
                return v;
        }
    }
    return Verdict::Safe;
}

// Without an index the platform walks the 'movi' list (and 'rec ' lists in it).
Verdict walkMovie(const File& file, const Chunk& list, const Chunk& movi, std::vector<Stream>& streams, int depth = 0)
{
    if (depth > kMaxListDepth)
        return Verdict::ChunkOutOfBounds;
    Children children = inside(file, list);
    Chunk chunk;
    while (children.next(chunk)) {
        Verdict v = chunk.id == kList
            ? walkMovie(file, chunk, movi, streams, depth + 1)
            : countChunk(streams, chunk.id, chunk.data - 8, chunk.size, movi.data + 4, movi.end());
        if (v != Verdict::Safe)
            return v;
    }
    return children.fault();
}

// A stream that starts late (dwStart) still has one chunk per frame of its
// length; only a length its chunks do not hold is refused. An audio stream of
// variable-size chunks that the platform reads as fixed-size samples gets
// its own verdict: only a reader that stops at its last byte may read it.
Verdict checkLengths(const std::vector<Stream>& streams)
{
    Verdict verdict = Verdict::Safe;
    for (const Stream& s : streams) {
        if (U64(s.start) + s.length > 0x7FFFFFFF)
            return Verdict::LengthBeyondData;
        if (s.sampleSize == 0 ? s.length <= s.chunks : U64(s.length) * s.sampleSize <= s.bytes)
            continue;
        if (s.headerSampleSize != 0 || s.length > s.chunks)
            return Verdict::LengthBeyondData;
        verdict = Verdict::AudioReadPastItsChunks;
    }
    return verdict;
}

// Occurrence `index` of the streams of type `type`, or null.
Stream* findStream(std::vector<Stream>& streams, DWORD type, int index)
{
    for (Stream& s : streams)
        if (s.type == type && index-- == 0)
            return &s;
    return nullptr;
}

// The streams of the file with what the index gives for each; the chunk
// sizes of occurrence `index` of the streams of type `type` go to `sizes`.
Verdict parseAviForm(const File& file, const Chunk& riff, std::vector<Stream>& streams, DWORD type = 0,
                     int index = 0, std::vector<DWORD>* sizes = nullptr)
{
    DWORD flags = 0;
    Chunk chunk, hdrl, movi, idx1;
    bool haveHeader = false, haveMovie = false, haveIndex = false;
    Children children = inside(file, riff);
    while (children.next(chunk)) {
        if (chunk.id == kList && chunk.type == fourcc("hdrl") && !haveHeader) {
            hdrl = chunk;
            haveHeader = true;
        } else if (chunk.id == kList && chunk.type == fourcc("movi") && haveHeader && !haveMovie) {
            movi = chunk;
            haveMovie = true;
        } else if (chunk.id == fourcc("idx1") && haveMovie && !haveIndex && chunk.size > 0) {
            idx1 = chunk;
            haveIndex = true;
        }
    }
    if (children.fault() != Verdict::Safe)
        return children.fault();
    if (!haveHeader || !haveMovie)
        return Verdict::MissingHeader;
    if (Verdict v = checkHeaderList(file, hdrl, streams, flags); v != Verdict::Safe)
        return v;
    if (Stream* kept = sizes ? findStream(streams, type, index) : nullptr)
        kept->sizes = sizes;
    if ((flags & kHasIndex) && !haveIndex)
        return Verdict::MissingIndex;
    if (haveIndex)
        if (Verdict v = checkIndex(file, idx1, movi, streams); v != Verdict::Safe)
            return v;
    if (!(flags & kHasIndex))
        return walkMovie(file, movi, movi, streams);
    return Verdict::Safe;
}

Verdict checkAviForm(const File& file, const Chunk& riff)
{
    std::vector<Stream> streams;
    Verdict v = parseAviForm(file, riff, streams);
    return v != Verdict::Safe ? v : checkLengths(streams);
}

// A WAVE file as the platform's wave handler reads it: a format, then data.
Verdict checkWaveForm(const File& file, const Chunk& riff)
{
    Children children = inside(file, riff);
    Chunk chunk;
    bool haveFormat = false;
    while (children.next(chunk)) {
        if (chunk.id == fourcc("fmt ") && !haveFormat) {
            std::vector<BYTE> format;
            if (!file.read(chunk.data, format, chunk.size))
                return Verdict::ChunkOutOfBounds;
            if (Verdict v = checkAudioFormat(format); v != Verdict::Safe)
                return v;
            haveFormat = true;
        } else if (chunk.id == fourcc("data") && haveFormat) {
            return Verdict::Safe;
        }
    }
    return children.fault() != Verdict::Safe ? children.fault() : Verdict::MissingHeader;
}

// The RIFF forms after the first: OpenDML 'AVIX' extensions lie inside the file.
Verdict checkExtensions(const File& file, U64 from)
{
    Children children(file, from, file.size());
    Chunk chunk;
    while (children.next(chunk)) {
        if (chunk.id != kRiff)
            return Verdict::Safe; // trailing bytes after the forms are not read
        Children inner = inside(file, chunk);
        Chunk child;
        while (inner.next(child)) {
        }
        if (inner.fault() != Verdict::Safe)
            return inner.fault();
    }
    return children.fault();
}

} // namespace

Verdict check(const char* fileName)
{
    File file(fileName);
    if (!file.opened())
        return Verdict::Unreadable;
    BYTE head[12];
    if (!file.read(0, head, sizeof(head)) || word32(head) != kRiff)
        return Verdict::Safe; // not a RIFF file: the platform refuses it on its own
    Children top(file, 0, file.size());
    Chunk riff;
    if (!top.next(riff))
        return top.fault() != Verdict::Safe ? top.fault() : Verdict::ChunkOutOfBounds;
    Verdict v = riff.type == fourcc("AVI ") ? checkAviForm(file, riff)
        : riff.type == fourcc("WAVE")       ? checkWaveForm(file, riff)
                                            : Verdict::UnknownForm;
    if ((v != Verdict::Safe && v != Verdict::AudioReadPastItsChunks) || riff.type != fourcc("AVI "))
        return v;
    // A tolerable verdict must not hide a fault of the extensions.
    Verdict extensions = checkExtensions(file, riff.end() + (riff.size & 1));
    return extensions != Verdict::Safe ? extensions : v;
}

bool storedStream(const char* fileName, DWORD type, int index, StoredStream& stored)
{
    File file(fileName);
    Children top(file, 0, file.size());
    Chunk riff;
    std::vector<Stream> streams;
    stored.chunkSizes.clear();
    if (!file.opened() || !top.next(riff) || riff.id != kRiff || riff.type != fourcc("AVI ")
        || parseAviForm(file, riff, streams, type, index, &stored.chunkSizes) != Verdict::Safe)
        return false;
    const Stream* s = findStream(streams, type, index);
    if (!s)
        return false;
    stored.scale = s->scale;
    stored.rate = s->rate;
    stored.sampleSize = s->headerSampleSize;
    stored.bytes = s->bytes;
    return true;
}

bool isSafe(const char* fileName, Verdict tolerated)
{
    Verdict verdict = check(fileName);
    return verdict == Verdict::Safe || verdict == tolerated;
}

bool holdsItsRiffChunks(const char* fileName)
{
    File file(fileName);
    if (!file.opened())
        return false;
    U64 at = 0;
    BYTE head[8];
    while (at + 8 <= file.size()) {
        if (!file.read(at, head, sizeof(head)))
            return false;
        // What follows the RIFF chunks is not ours to judge.
        if (word32(head) != kRiff)
            break;
        U64 size = word32(head + 4);
        at += 8 + size + (size & 1);
    }
    // A last chunk's missing pad byte is no loss.
    return at > 0 && at <= file.size() + 1;
}

const char* name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Safe: return "safe";
    case Verdict::Unreadable: return "unreadable";
    case Verdict::UnknownForm: return "unknown RIFF form";
    case Verdict::ChunkOutOfBounds: return "chunk out of bounds";
    case Verdict::MissingHeader: return "missing header";
    case Verdict::BadStreamList: return "bad stream list";
    case Verdict::BadStreamHeader: return "bad stream header";
    case Verdict::BadVideoFormat: return "bad video format";
    case Verdict::BadAudioFormat: return "bad audio format";
    case Verdict::BadIndex: return "bad index";
    case Verdict::LengthBeyondData: return "length beyond data";
    case Verdict::MissingIndex: return "missing index";
    case Verdict::AudioReadPastItsChunks: return "audio read past its chunks";
    }
    return "?";
}

} // namespace AviFileCheck
