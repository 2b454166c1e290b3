#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "agent/BgraToNv12.h"
#include "agent/FrameConverter.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Bgra {
    std::uint8_t b, g, r;
};

// A width x height BGRA picture with `padding` extra bytes per row; alpha is random garbage to
// show that it is ignored.
struct Picture {
    int width = 0;
    int height = 0;
    int stride = 0;
    Bytes pixels;

    Picture(int w, int h, int padding = 0) : width(w), height(h), stride(w * 4 + padding), pixels(stride * h, 0) {}

    std::uint8_t* at(int x, int y) { return pixels.data() + y * stride + x * 4; }
    void set(int x, int y, Bgra c, std::uint8_t alpha = 0x5A) {
        std::uint8_t* p = at(x, y);
        p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = alpha;
    }
    void fill(Bgra c) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) set(x, y, c, static_cast<std::uint8_t>(x * 31 + y));
    }
    void randomize(std::mt19937& random) {
        for (auto& byte : pixels) byte = static_cast<std::uint8_t>(random());
    }
};

struct ColourCase {
    const char* name;
    Bgra colour;
    int y, cb, cr;
};

void PrintTo(const ColourCase& c, std::ostream* out) { *out << c.name; }

// Expected values worked out by hand from the 15-bit full-range BT.601 weights.
const ColourCase kColours[] = {
    {"White", {255, 255, 255}, 255, 128, 128},
    {"Black", {0, 0, 0}, 0, 128, 128},
    {"Red", {0, 0, 255}, 76, 85, 255},   // Cr clamps from 256
    {"Green", {0, 255, 0}, 150, 44, 21},
    {"Blue", {255, 0, 0}, 29, 255, 107},  // Cb clamps from 256
    {"MidGrey", {128, 128, 128}, 128, 128, 128},
};

class ColourTest : public ::testing::TestWithParam<ColourCase> {};

TEST_P(ColourTest, UniformPictureGivesTheKnownLumaAndChroma) {
    const ColourCase& c = GetParam();
    Picture picture(34, 6, 12);  // wide enough for the vector path and its scalar tail
    picture.fill(c.colour);
    Bytes nv12 = FrameConverter::allocateNv12Buffer(34, 6);
    FrameConverter converter;
    converter.convert(picture.pixels.data(), 34, 6, picture.stride, nv12.data(), 0);
    for (int i = 0; i < 34 * 6; ++i) ASSERT_EQ(nv12[i], c.y) << "luma " << i;
    for (int i = 34 * 6; i < static_cast<int>(nv12.size()); i += 2) {
        ASSERT_EQ(nv12[i], c.cb) << "Cb at " << i;
        ASSERT_EQ(nv12[i + 1], c.cr) << "Cr at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Colours, ColourTest, ::testing::ValuesIn(kColours),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameConverterTest, ChromaIsTheRoundedMeanOfTheBlock) {
    // Block means B = (10 + 11 + 12 + 14 + 2) >> 2 = 12, G = 200, R = (0 + 1 + 1 + 1 + 2) >> 2 = 1.
    Picture picture(2, 2);
    picture.set(0, 0, {10, 200, 0});
    picture.set(1, 0, {11, 200, 1});
    picture.set(0, 1, {12, 200, 1});
    picture.set(1, 1, {14, 200, 1});
    Bytes nv12 = FrameConverter::allocateNv12Buffer(2, 2);
    FrameConverter().convert(picture.pixels.data(), 2, 2, picture.stride, nv12.data(), nv12.size());
    EXPECT_EQ(nv12[0], (9798 * 0 + 19235 * 200 + 3735 * 10 + 0x4000) >> 15);
    // Cb: (16384*12 - 10846*200 - 5538*1 + 0x4000) / 32768 = -59.87, floored to -60 (a truncation
    // would give 69).
    EXPECT_EQ(nv12[4], 68);
    // Cr: (16384*1 - 13730*200 - 2654*12 + 0x4000) / 32768 = -83.77, floored to -84.
    EXPECT_EQ(nv12[5], 44);
}

TEST(FrameConverterTest, AllocatesEvenSizedZeroedBuffers) {
    EXPECT_EQ(FrameConverter::allocateNv12Buffer(1921, 1081).size(), 3110400u);
    EXPECT_EQ(FrameConverter::allocateNv12Buffer(2, 2), Bytes(6, 0));
    EXPECT_TRUE(FrameConverter::allocateNv12Buffer(1, 1080).empty());
    EXPECT_TRUE(FrameConverter::allocateNv12Buffer(1920, 0).empty());
    EXPECT_TRUE(FrameConverter::allocateNv12Buffer(-4, 4).empty());
}

TEST(FrameConverterTest, OddPictureDropsTheLastColumnAndRow) {
    test::LogCapture log;
    std::mt19937 random(7);
    Picture odd(1921, 1081);
    odd.randomize(random);
    Bytes nv12(3110400, 0xEE);
    FrameConverter().convert(odd.pixels.data(), 1921, 1081, odd.stride, nv12.data(), 3110400);
    EXPECT_TRUE(log.contains("FrameConverter: dimensions 1921x1081 not even, using 1920x1080"));

    Bytes expected(3110400);
    nv12::convertScalar(odd.pixels.data(), odd.stride, 1920, 1080, expected.data(), expected.data() + 1920 * 1080);
    EXPECT_EQ(nv12, expected);
}

TEST(FrameConverterTest, OnePixelPassesTheChecksButWritesNothing) {
    test::LogCapture log;
    Picture dot(1, 1);
    dot.fill({1, 2, 3});
    Bytes output(8, 0xEE);
    FrameConverter().convert(dot.pixels.data(), 1, 1, 4, output.data(), output.size());
    EXPECT_EQ(output, Bytes(8, 0xEE));
    EXPECT_FALSE(log.contains("invalid dimensions"));
    EXPECT_FALSE(log.contains("too small"));
}

TEST(FrameConverterTest, RefusesBadArgumentsWithoutWriting) {
    test::LogCapture log;
    Picture picture(4, 4);
    Bytes output(24, 0xEE);
    FrameConverter converter;

    converter.convert(nullptr, 4, 4, 16, output.data(), 0);
    converter.convert(picture.pixels.data(), 4, 4, 16, nullptr, 0);
    EXPECT_EQ(log.count("FrameConverter: null pointer passed to convert()"), 2u);

    converter.convert(picture.pixels.data(), 4, 0, 16, output.data(), 0);
    EXPECT_TRUE(log.contains("FrameConverter: invalid dimensions 4x0"));

    converter.convert(picture.pixels.data(), 4, 4, 16, output.data(), 23);
    EXPECT_TRUE(log.contains("FrameConverter: output buffer too small (23 < 24 required)"));
    EXPECT_EQ(output, Bytes(24, 0xEE));

    converter.convert(picture.pixels.data(), 4, 4, 16, output.data(), 24);
    EXPECT_EQ(output[0], 0);  // black picture written in full
    EXPECT_EQ(output[16], 128);
}

// The vector paths, each of which must give the scalar reference's bytes exactly.
struct VectorPath {
    const char* name;
    void (*convert)(const std::uint8_t*, int, int, int, std::uint8_t*, std::uint8_t*);
    bool (*available)();
};

void PrintTo(const VectorPath& path, std::ostream* out) { *out << path.name; }

bool always() { return true; }

const VectorPath kVectorPaths[] = {
    {"Sse2", nv12::convertSse2, always},
    {"Avx2", nv12::convertAvx2, nv12::avx2Available},
    {"Chosen", nv12::convertSimd, always},  // what FrameConverter runs on this processor
};

class VectorPathTest : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " does not run on this processor";
    }

    // Converts with the reference and the path under test into buffers pre-filled differently,
    // so that a byte the path fails to write shows up too.
    void expectEqualToReference(const Picture& picture) {
        const int width = picture.width, height = picture.height;
        Bytes reference(width * height * 3 / 2, 0x11);
        nv12::convertScalar(picture.pixels.data(), picture.stride, width, height, reference.data(),
                            reference.data() + width * height);
        Bytes vector(reference.size(), 0xEE);
        GetParam().convert(picture.pixels.data(), picture.stride, width, height, vector.data(),
                           vector.data() + width * height);
        ASSERT_EQ(vector, reference) << width << "x" << height << " stride " << picture.stride;
    }
};

TEST_P(VectorPathTest, EqualsTheScalarReferenceOnRandomPicturesWithOddStrides) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 200; ++round) {
        // 2..140 columns: every mix of 32-column, 16-column and scalar steps in a row.
        const int width = 2 * static_cast<int>(1 + random() % 70);
        const int height = 2 * static_cast<int>(1 + random() % 12);
        const int padding = static_cast<int>(random() % 16) | 1;  // odd strides misalign every other row
        Picture picture(width, height, padding);
        picture.randomize(random);
        expectEqualToReference(picture);
        if (HasFatalFailure()) return;
    }
}

TEST_P(VectorPathTest, EqualsTheScalarReferenceOnExtremeChannels) {
    // Saturated and mixed channels exercise the clamps and the negative shifts in every lane; 94
    // columns take a 32-column, a 16-column and a scalar step in each row.
    std::mt19937 random(3);
    Picture picture(94, 8, 3);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 94; ++x) {
            const auto pick = [&] { return static_cast<std::uint8_t>(random() % 2 ? 255 : random() % 3); };
            picture.set(x, y, {pick(), pick(), pick()}, pick());
        }
    expectEqualToReference(picture);
    const Bgra corners[] = {{255, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 255, 0}, {255, 255, 255}};
    for (const Bgra corner : corners) {
        picture.fill(corner);  // whole blocks at the clamps, alpha varying
        expectEqualToReference(picture);
    }
}

TEST_P(VectorPathTest, EqualsTheScalarReferenceAtFullHd) {
    std::mt19937 random(11);
    Picture picture(1920, 1080, 5);
    picture.randomize(random);
    expectEqualToReference(picture);
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorPathTest, ::testing::ValuesIn(kVectorPaths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameConverterTest, ConvertsWithTheChosenVectorPathOnRandomPictures) {
    std::mt19937 random(5);
    FrameConverter converter;
    for (int round = 0; round < 20; ++round) {
        const int width = 2 * static_cast<int>(1 + random() % 70);
        const int height = 2 * static_cast<int>(1 + random() % 12);
        Picture picture(width, height, 7);
        picture.randomize(random);
        Bytes reference(width * height * 3 / 2);
        nv12::convertScalar(picture.pixels.data(), picture.stride, width, height, reference.data(),
                            reference.data() + width * height);
        Bytes viaConverter(reference.size(), 0xEE);
        converter.convert(picture.pixels.data(), width, height, picture.stride, viaConverter.data(), 0);
        ASSERT_EQ(viaConverter, reference) << width << "x" << height;
    }
}

// The box rule written out plainly: rows y*sh/TH .. (y+1)*sh/TH, columns likewise, rounded mean.
Picture boxReference(Picture& source, int targetWidth, int targetHeight) {
    Picture out(targetWidth, targetHeight);
    for (int y = 0; y < targetHeight; ++y) {
        const int r0 = static_cast<int>(std::int64_t{y} * source.height / targetHeight);
        const int r1 = static_cast<int>(std::int64_t{y + 1} * source.height / targetHeight);
        for (int x = 0; x < targetWidth; ++x) {
            const int c0 = static_cast<int>(std::int64_t{x} * source.width / targetWidth);
            const int c1 = static_cast<int>(std::int64_t{x + 1} * source.width / targetWidth);
            std::uint32_t sum[3] = {0, 0, 0};
            for (int r = r0; r < r1; ++r)
                for (int c = c0; c < c1; ++c)
                    for (int k = 0; k < 3; ++k) sum[k] += source.at(c, r)[k];
            const std::uint32_t n = std::max(1, r1 - r0) * std::max(1, c1 - c0);
            out.set(x, y,
                    {static_cast<std::uint8_t>((sum[0] + n / 2) / n), static_cast<std::uint8_t>((sum[1] + n / 2) / n),
                     static_cast<std::uint8_t>((sum[2] + n / 2) / n)},
                    255);
        }
    }
    return out;
}

Bytes scalarNv12(Picture& picture) {
    const int w = picture.width & ~1, h = picture.height & ~1;
    Bytes nv12(w * h * 3 / 2);
    nv12::convertScalar(picture.pixels.data(), picture.stride, w, h, nv12.data(), nv12.data() + w * h);
    return nv12;
}

TEST(FrameConverterScaledTest, FullHdToHdAlternatesBoxesOfOneAndTwoSourcePixels) {
    // Grey columns: 0 where c % 3 == 0, else 255. Target column 2k covers source column 3k alone
    // (0), column 2k+1 covers 3k+1 and 3k+2 (255).
    Picture columns(1920, 1080);
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x) {
            const std::uint8_t v = x % 3 == 0 ? 0 : 255;
            columns.set(x, y, {v, v, v});
        }
    Bytes nv12 = FrameConverter::allocateNv12Buffer(1280, 720);
    FrameConverter converter;
    converter.convertScaled(columns.pixels.data(), 1920, 1080, columns.stride, 1280, 720, nv12.data(), nv12.size());
    for (int x = 0; x < 1280; ++x) ASSERT_EQ(nv12[x], x % 2 ? 255 : 0) << "column " << x;

    Picture rows(1920, 1080);
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x) {
            const std::uint8_t v = y % 3 == 0 ? 0 : 255;
            rows.set(x, y, {v, v, v});
        }
    converter.convertScaled(rows.pixels.data(), 1920, 1080, rows.stride, 1280, 720, nv12.data(), 0);
    for (int y = 0; y < 720; ++y) ASSERT_EQ(nv12[y * 1280 + 7], y % 2 ? 255 : 0) << "row " << y;
}

TEST(FrameConverterScaledTest, MatchesThePlainBoxRuleOnRandomPictures) {
    std::mt19937 random(99);
    FrameConverter converter;  // one converter: its scratch buffer grows and is reused
    const struct {
        int sw, sh, tw, th;
    } cases[] = {{1920, 1080, 1280, 720}, {64, 48, 10, 10}, {37, 29, 36, 28}, {300, 7, 2, 2},
                 {17, 300, 8, 100},       {640, 480, 639, 479}, {256, 256, 16, 16}};
    for (const auto& c : cases) {
        Picture source(c.sw, c.sh, 5);
        source.randomize(random);
        Picture shrunk = boxReference(source, c.tw & ~1, c.th & ~1);
        const Bytes expected = scalarNv12(shrunk);
        Bytes nv12(expected.size(), 0xEE);
        converter.convertScaled(source.pixels.data(), c.sw, c.sh, source.stride, c.tw, c.th, nv12.data(),
                                nv12.size());
        ASSERT_EQ(nv12, expected) << c.sw << "x" << c.sh << " -> " << c.tw << "x" << c.th;
    }
}

TEST(FrameConverterScaledTest, TargetNotSmallerThanTheSourceConvertsAtTheSourceSize) {
    std::mt19937 random(5);
    Picture source(40, 30, 4);
    source.randomize(random);
    const Bytes expected = scalarNv12(source);
    FrameConverter converter;
    for (const auto& [tw, th] : {std::pair{40, 30}, std::pair{41, 31}, std::pair{400, 300}}) {
        Bytes nv12(expected.size(), 0xEE);
        converter.convertScaled(source.pixels.data(), 40, 30, source.stride, tw, th, nv12.data(), 0);
        EXPECT_EQ(nv12, expected) << tw << "x" << th;
    }
}

TEST(FrameConverterScaledTest, TargetOfOnePixelInADirectionKeepsTheSourceSizeThere) {
    // A target of 1 rounds down to 0; every frame would fail. It keeps the source size instead.
    std::mt19937 random(11);
    Picture source(64, 48);
    source.randomize(random);
    FrameConverter converter;

    Picture expectedHalfHeight = boxReference(source, 64, 24);
    Bytes nv12(64 * 24 * 3 / 2, 0xEE);
    converter.convertScaled(source.pixels.data(), 64, 48, source.stride, 1, 24, nv12.data(), nv12.size());
    EXPECT_EQ(nv12, scalarNv12(expectedHalfHeight));

    Bytes full(64 * 48 * 3 / 2, 0xEE);
    converter.convertScaled(source.pixels.data(), 64, 48, source.stride, 1, 1, full.data(), full.size());
    EXPECT_EQ(full, scalarNv12(source));
}

TEST(FrameConverterScaledTest, TargetLargerInOneDirectionOnlyKeepsTheSourceSizeThere) {
    std::mt19937 random(13);
    Picture source(64, 48);
    source.randomize(random);
    Picture expected = boxReference(source, 64, 24);
    Bytes nv12(64 * 24 * 3 / 2, 0xEE);
    FrameConverter().convertScaled(source.pixels.data(), 64, 48, source.stride, 200, 24, nv12.data(), nv12.size());
    EXPECT_EQ(nv12, scalarNv12(expected));
}

TEST(FrameConverterScaledTest, RefusesBadArgumentsWithoutWriting) {
    test::LogCapture log;
    Picture source(64, 48);
    Bytes output(32 * 24 * 3 / 2, 0xEE);
    FrameConverter converter;

    converter.convertScaled(nullptr, 64, 48, 256, 32, 24, output.data(), 0);
    EXPECT_TRUE(log.contains("FrameConverter::convertScaled: null pointer"));
    converter.convertScaled(source.pixels.data(), 64, 48, 256, 0, 24, output.data(), 0);
    EXPECT_TRUE(log.contains("FrameConverter::convertScaled: invalid dims src=64x48 dst=0x24"));
    converter.convertScaled(source.pixels.data(), 64, 48, 256, 33, 25, output.data(), output.size() - 1);
    EXPECT_TRUE(log.contains("FrameConverter::convertScaled: output buffer too small (1151 < 1152 required)"));
    EXPECT_EQ(output, Bytes(output.size(), 0xEE));
}

struct EncodeSizeCase {
    int frameWidth, frameHeight;
    QSize requested, expected;
};

void PrintTo(const EncodeSizeCase& c, std::ostream* out) {
    *out << c.frameWidth << "x" << c.frameHeight << " asked " << c.requested.width() << "x" << c.requested.height();
}

class EncodeSizeTest : public ::testing::TestWithParam<EncodeSizeCase> {};

TEST_P(EncodeSizeTest, PicksTheRequestWithinTheFrameRoundedToEven) {
    const EncodeSizeCase& c = GetParam();
    EXPECT_EQ(FrameConverter::encodeSize(c.frameWidth, c.frameHeight, c.requested), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EncodeSizeTest,
                         ::testing::Values(EncodeSizeCase{1920, 1080, {0, 0}, {1920, 1080}},
                                           EncodeSizeCase{1920, 1080, {1280, 0}, {1280, 1080}},
                                           EncodeSizeCase{1920, 1080, {1280, 720}, {1280, 720}},
                                           EncodeSizeCase{1920, 1080, {1281, 721}, {1280, 720}},
                                           EncodeSizeCase{1920, 1080, {2560, 1440}, {1920, 1080}},
                                           EncodeSizeCase{1920, 1080, {1, 720}, {1920, 720}},
                                           EncodeSizeCase{1920, 1080, {1280, 1}, {1280, 1080}},
                                           EncodeSizeCase{1920, 1080, {-5, 2}, {1920, 2}},
                                           EncodeSizeCase{1365, 767, {0, 0}, {1364, 766}}));

}  // namespace
}  // namespace veltrix
