#include "PreviewResampler.h"

#include <cpuid.h>
#include <emmintrin.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>

namespace {

int stride(int width)
{
    return (width * 3 + 3) & ~3;
}

// One row of accumulators per byte of a reduced row, padded to whole groups
// of four, 16-byte aligned (the SSE2 way reads four at a time), zero-filled.
class Accumulators {
public:
    Accumulators(int bytesPerRow, int rows)
        : perRow((bytesPerRow + 3) & ~3),
          data(static_cast<uint32_t*>(_aligned_malloc(sizeof(uint32_t) * perRow * rows, 16)))
    {
        if (data)
            std::memset(data, 0, sizeof(uint32_t) * perRow * rows);
    }
    ~Accumulators() { _aligned_free(data); }
    Accumulators(const Accumulators&) = delete;
    Accumulators& operator=(const Accumulators&) = delete;

    uint32_t* row(int n) { return data + static_cast<size_t>(perRow) * n; }
    explicit operator bool() const { return data != nullptr; }

    const int perRow;

private:
    uint32_t* data;
};

// Sums every group of m pixels of a row per channel; a last group of r < m
// pixels is scaled by m / r, so that every accumulator stands for m pixels.
void reduceRow(const unsigned char* row, int w, int m, uint32_t* sums)
{
    int reduced = (w + m - 1) / m;
    for (int x = 0; x < reduced; ++x) {
        int from = x * m, r = from + m <= w ? m : w - from;
        for (int c = 0; c < 3; ++c) {
            uint32_t sum = 0;
            for (int i = 0; i < r; ++i)
                sum += row[(from + i) * 3 + c];
            sums[x * 3 + c] = r == m ? sum : sum * m / r;
        }
    }
}

void addScalar(uint32_t* total, const uint32_t* row, int count)
{
    for (int i = 0; i < count; ++i)
        total[i] += row[i];
}

void addSSE2(uint32_t* total, const uint32_t* row, int count)
{
    for (int i = 0; i < count; i += 4) {
        __m128i sum = _mm_add_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(total + i)),
                                    _mm_load_si128(reinterpret_cast<const __m128i*>(row + i)));
        _mm_store_si128(reinterpret_cast<__m128i*>(total + i), sum);
    }
}

// A group of r rows (r < t for the last one) is scaled by t / r before the
// division by t * m.
void divideScalar(const uint32_t* total, int count, int t, int r, int m, unsigned char* out)
{
    for (int i = 0; i < count; ++i) {
        uint64_t sum = r == t ? total[i] : static_cast<uint64_t>(total[i]) * t / r;
        out[i] = static_cast<unsigned char>(sum / (static_cast<uint64_t>(t) * m));
    }
}

// Four lanes at a time: the division by d = r * m becomes a multiplication by
// 2^32 / d, rounded up, and a shift by 32. With sums of at most 255 * d the
// result is the exact quotient while 255 * d * d < 2^32 (d up to 4103), and
// at most one above it beyond that.
void divideSSE2(const uint32_t* total, int count, int r, int m, unsigned char* out)
{
    if (r * m == 1) {
        for (int i = 0; i < count; ++i)
            out[i] = static_cast<unsigned char>(total[i]);
        return;
    }
    uint64_t divisor = static_cast<uint64_t>(r) * m;
    uint32_t reciprocal = static_cast<uint32_t>(((uint64_t(1) << 32) + divisor - 1) / divisor);
    __m128i factor = _mm_set1_epi32(static_cast<int>(reciprocal));
    for (int i = 0; i < count; i += 4) {
        __m128i sums = _mm_load_si128(reinterpret_cast<const __m128i*>(total + i));
        __m128i even = _mm_srli_epi64(_mm_mul_epu32(sums, factor), 32);
        __m128i odd = _mm_srli_epi64(_mm_mul_epu32(_mm_srli_epi64(sums, 32), factor), 32);
        alignas(16) uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_or_si128(even, _mm_slli_epi64(odd, 32)));
        for (int lane = 0; lane < 4 && i + lane < count; ++lane)
            out[i + lane] = static_cast<unsigned char>(lanes[lane]);
    }
}

// Box reduction by m across and t down into packed bytes (rows padded to 4).
bool reduce(const unsigned char* source, int w, int h, int m, int t, bool sse2, unsigned char* out)
{
    int rw = (w + m - 1) / m, rh = (h + t - 1) / t, bytes = rw * 3;
    Accumulators rows(bytes, 2);
    if (!rows)
        return false;
    uint32_t* total = rows.row(0);
    uint32_t* row = rows.row(1);
    for (int y = 0; y < rh; ++y) {
        int first = y * t, r = first + t <= h ? t : h - first;
        std::memset(total, 0, sizeof(uint32_t) * rows.perRow);
        for (int i = 0; i < r; ++i) {
            reduceRow(source + static_cast<size_t>(first + i) * stride(w), w, m, row);
            sse2 ? addSSE2(total, row, rows.perRow) : addScalar(total, row, rows.perRow);
        }
        unsigned char* target = out + static_cast<size_t>(y) * stride(rw);
        sse2 ? divideSSE2(total, bytes, r, m, target) : divideScalar(total, bytes, t, r, m, target);
    }
    return true;
}

// Bilinear interpolation from w x h to W x H; the last column and row use one
// direction only, and the last pixel is the source's last.
void interpolate(const unsigned char* image, int w, int h, unsigned char* target, int W, int H)
{
    int in = stride(w), out = stride(W);
    int dx = W > 1 ? W - 1 : 1, dy = H > 1 ? H - 1 : 1;
    for (int y = 0; y < H; ++y) {
        long long py = static_cast<long long>(h - 1) * y;
        int sy = H > 1 ? static_cast<int>(py / dy) : 0, fy = H > 1 ? static_cast<int>(py % dy) : 0;
        int sy1 = sy + 1 < h ? sy + 1 : sy;
        for (int x = 0; x < W; ++x) {
            long long px = static_cast<long long>(w - 1) * x;
            int sx = W > 1 ? static_cast<int>(px / dx) : 0, fx = W > 1 ? static_cast<int>(px % dx) : 0;
            int sx1 = sx + 1 < w ? sx + 1 : sx;
            for (int c = 0; c < 3; ++c) {
                long long a = image[sy * in + sx * 3 + c], b = image[sy * in + sx1 * 3 + c];
                long long d0 = image[sy1 * in + sx * 3 + c], d1 = image[sy1 * in + sx1 * 3 + c];
                long long top = (dx - fx) * a + fx * b, bottom = (dx - fx) * d0 + fx * d1;
                target[y * out + x * 3 + c] =
                    static_cast<unsigned char>(((dy - fy) * top + fy * bottom) / (static_cast<long long>(dx) * dy));
            }
        }
    }
}

} // namespace

bool processorHasSSE2()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & (1u << 26)) != 0;
}

bool ResampleRGB24(const unsigned char* source, int w, int h, unsigned char* target, int W, int H,
                   ResampleArithmetic arithmetic)
{
    if (w <= 0 || h <= 0 || W <= 0 || H <= 0)
        return false;
    bool sse2 = arithmetic == ResampleArithmetic::sse2
        || (arithmetic == ResampleArithmetic::detected && processorHasSSE2());
    int m = w >= 2 * W ? w / W : 1, t = h >= 2 * H ? h / H : 1;
    if (m == 1 && t == 1) {
        interpolate(source, w, h, target, W, H);
        return true;
    }
    int rw = (w + m - 1) / m, rh = (h + t - 1) / t;
    unsigned char* reduced = static_cast<unsigned char*>(_aligned_malloc(static_cast<size_t>(stride(rw)) * rh, 16));
    if (!reduced)
        return false;
    bool done = reduce(source, w, h, m, t, sse2, reduced);
    if (done)
        interpolate(reduced, rw, rh, target, W, H);
    _aligned_free(reduced);
    return done;
}
