#include "PreviewResampler.h"

#include <cstddef>
#include <new>

namespace {

int stride(int width)
{
    return (width * 3 + 3) & ~3;
}

// Box reduction by m horizontally and t vertically into packed bytes
// (rows padded to 4 bytes); partial groups are averaged over what they hold.
void reduce(const unsigned char* source, int w, int h, int m, int t, std::vector<unsigned char>& out, int& rw, int& rh)
{
    rw = (w + m - 1) / m;
    rh = (h + t - 1) / t;
    out.assign(static_cast<std::size_t>(stride(rw)) * rh, 0);
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x)
            for (int c = 0; c < 3; ++c) {
                unsigned sum = 0, n = 0;
                for (int sy = y * t; sy < h && sy < (y + 1) * t; ++sy)
                    for (int sx = x * m; sx < w && sx < (x + 1) * m; ++sx, ++n)
                        sum += source[sy * stride(w) + sx * 3 + c];
                out[y * stride(rw) + x * 3 + c] = static_cast<unsigned char>(sum / n);
            }
}

} // namespace

bool ResampleRGB24(const unsigned char* source, int w, int h, unsigned char* target, int W, int H)
{
    if (w <= 0 || h <= 0 || W <= 0 || H <= 0)
        return false;
    int m = w >= 2 * W ? w / W : 1, t = h >= 2 * H ? h / H : 1;
    std::vector<unsigned char> reduced;
    const unsigned char* image = source;
    int rw = w, rh = h;
    try {
        if (m > 1 || t > 1) {
            reduce(source, w, h, m, t, reduced, rw, rh);
            image = reduced.data();
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    int in = stride(rw), out = stride(W);
    for (int y = 0; y < H; ++y) {
        long long py = H > 1 ? static_cast<long long>(rh - 1) * y : 0;
        int sy = H > 1 ? static_cast<int>(py / (H - 1)) : 0, fy = H > 1 ? static_cast<int>(py % (H - 1)) : 0;
        int sy1 = sy + 1 < rh ? sy + 1 : sy, dy = H > 1 ? H - 1 : 1;
        for (int x = 0; x < W; ++x) {
            long long px = W > 1 ? static_cast<long long>(rw - 1) * x : 0;
            int sx = W > 1 ? static_cast<int>(px / (W - 1)) : 0, fx = W > 1 ? static_cast<int>(px % (W - 1)) : 0;
            int sx1 = sx + 1 < rw ? sx + 1 : sx, dx = W > 1 ? W - 1 : 1;
            for (int c = 0; c < 3; ++c) {
                long long a = image[sy * in + sx * 3 + c], b = image[sy * in + sx1 * 3 + c];
                long long d0 = image[sy1 * in + sx * 3 + c], d1 = image[sy1 * in + sx1 * 3 + c];
                long long top = (dx - fx) * a + fx * b, bottom = (dx - fx) * d0 + fx * d1;
                target[y * out + x * 3 + c] =
                    static_cast<unsigned char>(((dy - fy) * top + fy * bottom) / (static_cast<long long>(dx) * dy));
            }
        }
    }
    return true;
}
