#include <gtest/gtest.h>

#include <vector>

#include "PreviewResampler.h"

namespace {

int stride(int width) { return (width * 3 + 3) & ~3; }

TEST(PreviewResampler, UniformPictureStaysUniformWhenReducedAndEnlarged)
{
    for (auto size : {std::pair<int, int>{160, 120}, {10, 6}}) {
        std::vector<unsigned char> source(static_cast<size_t>(stride(size.first)) * size.second);
        for (int y = 0; y < size.second; ++y)
            for (int x = 0; x < size.first; ++x) {
                unsigned char* p = &source[y * stride(size.first) + x * 3];
                p[0] = 10, p[1] = 120, p[2] = 250;
            }
        std::vector<unsigned char> target(static_cast<size_t>(stride(37)) * 23, 0);
        ASSERT_TRUE(ResampleRGB24(source.data(), size.first, size.second, target.data(), 37, 23));
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 37; ++x) {
                const unsigned char* p = &target[y * stride(37) + x * 3];
                ASSERT_EQ(10, p[0]);
                ASSERT_EQ(120, p[1]);
                ASSERT_EQ(250, p[2]);
            }
    }
}

TEST(PreviewResampler, CornersKeepTheirColoursAndAGradientStaysMonotonic)
{
    const int w = 64, h = 2;
    std::vector<unsigned char> source(static_cast<size_t>(stride(w)) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                source[y * stride(w) + x * 3 + c] = static_cast<unsigned char>(x * 4);
    std::vector<unsigned char> target(static_cast<size_t>(stride(16)) * 4);
    ASSERT_TRUE(ResampleRGB24(source.data(), w, h, target.data(), 16, 4));
    EXPECT_LT(target[0], 8);
    EXPECT_GT(target[15 * 3], 240);
    for (int x = 1; x < 16; ++x)
        EXPECT_GE(target[x * 3], target[(x - 1) * 3]) << x;
}

// Reduction factors with and without partial groups, down and across only,
// and no reduction at all: the SSE2 vertical division (multiplication by the
// reciprocal rounded up) gives the scalar bytes for boxes of up to 4103
// pixels, and at most one more beyond (here a 4200 x 2 box).
TEST(PreviewResampler, SSE2VerticalPathMatchesTheScalarOneWithinItsBound)
{
    if (!processorHasSSE2())
        GTEST_SKIP() << "the processor reports no SSE2";
    struct Case {
        int w, h, W, H;
        bool exact;
    };
    int above = 0;
    for (Case c : {Case{160, 120, 72, 40, true}, Case{161, 127, 72, 40, true}, Case{640, 480, 37, 23, true},
                   Case{40, 300, 72, 40, true}, Case{300, 30, 72, 40, true}, Case{50, 30, 72, 40, true},
                   Case{9, 7, 3, 2, true}, Case{8400, 4, 2, 1, false}}) {
        std::vector<unsigned char> source(static_cast<size_t>(stride(c.w)) * c.h);
        unsigned seed = 12345;
        for (unsigned char& byte : source)
            byte = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 24);
        std::vector<unsigned char> scalar(static_cast<size_t>(stride(c.W)) * c.H, 0), sse2(scalar);
        ASSERT_TRUE(ResampleRGB24(source.data(), c.w, c.h, scalar.data(), c.W, c.H, ResampleArithmetic::scalar));
        ASSERT_TRUE(ResampleRGB24(source.data(), c.w, c.h, sse2.data(), c.W, c.H, ResampleArithmetic::sse2));
        for (int y = 0; y < c.H; ++y)
            for (int x = 0; x < c.W * 3; ++x) {
                int a = scalar[y * stride(c.W) + x], b = sse2[y * stride(c.W) + x];
                ASSERT_TRUE(b == a || (!c.exact && b == a + 1))
                    << c.w << "x" << c.h << " at " << x << "," << y << ": " << a << " " << b;
                above += b != a;
            }
    }
    EXPECT_LE(above, 6);
}

// A 4x4 box of known bytes reduced to one pixel: the average of 16 values,
// exact on the scalar way.
TEST(PreviewResampler, ScalarBoxReductionAveragesItsGroup)
{
    const int w = 8, h = 8;
    std::vector<unsigned char> source(static_cast<size_t>(stride(w)) * h, 0);
    unsigned expected[3] = {};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c) {
                unsigned char v = static_cast<unsigned char>(x * 37 + y * 11 + c * 50);
                source[y * stride(w) + x * 3 + c] = v;
                expected[c] += v;
            }
    std::vector<unsigned char> target(static_cast<size_t>(stride(2)) * 2, 0);
    ASSERT_TRUE(ResampleRGB24(source.data(), w, h, target.data(), 2, 2, ResampleArithmetic::scalar));
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(expected[c] / 16, target[c]) << c;
}

TEST(PreviewResampler, RefusesEmptyRegions)
{
    unsigned char pixel[4] = {};
    EXPECT_FALSE(ResampleRGB24(pixel, 0, 1, pixel, 1, 1));
    EXPECT_FALSE(ResampleRGB24(pixel, 1, 1, pixel, 1, 0));
}

} // namespace
