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

TEST(PreviewResampler, RefusesEmptyRegions)
{
    unsigned char pixel[4] = {};
    EXPECT_FALSE(ResampleRGB24(pixel, 0, 1, pixel, 1, 1));
    EXPECT_FALSE(ResampleRGB24(pixel, 1, 1, pixel, 1, 0));
}

} // namespace
