#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "agent/AV1Encoder.h"
#include "agent/FrameConverter.h"
#include "core/AV1Decoder.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A BGRA picture, red on the left half and blue on the right: the two colours have their
// chroma extremes in opposite planes (red: Cb 85, Cr 255; blue: Cb 255, Cr 107), so a swap of U
// and V, or of the halves, cannot go unnoticed.
Bytes redAndBlue(int width, int height) {
    Bytes pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            const bool red = x < width / 2;
            p[0] = red ? 0 : 255;
            p[1] = 0;
            p[2] = red ? 255 : 0;
            p[3] = 255;
        }
    return pixels;
}

// A picture that differs from frame to frame, so that delta frames carry something.
Bytes movingNv12(int width, int height, int frame) {
    Bytes nv12(static_cast<std::size_t>(width) * height * 3 / 2, 128);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            nv12[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>((x * 3 + y * 5 + frame * 11) & 0xFF);
    return nv12;
}

EncoderConfig configFor(int width, int height) {
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.fps = 30;
    config.bitrateKbps = 8000;
    config.crf = 18;
    config.preset = "7";
    return config;
}

// Mean of every `step`-th byte of `count` bytes from `first` in each of `rows` rows of `stride`.
double meanOf(const Bytes& plane, std::size_t first, int rows, int stride, int count, int step) {
    double sum = 0;
    int n = 0;
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < count; i += step, ++n) sum += plane[first + static_cast<std::size_t>(r) * stride + i];
    return sum / n;
}

TEST(CodecRoundTripTest, RedAndBlueComeBackWithTheirLumaAndChromaInTheRightPlanes) {
    constexpr int kWidth = 128, kHeight = 96;
    const Bytes bgra = redAndBlue(kWidth, kHeight);
    Bytes nv12 = FrameConverter::allocateNv12Buffer(kWidth, kHeight);
    FrameConverter converter;
    converter.convert(bgra.data(), kWidth, kHeight, kWidth * 4, nv12.data(), 0);

    AV1Encoder encoder;
    ASSERT_TRUE(encoder.initialize(configFor(kWidth, kHeight)));
    AV1Decoder decoder;
    ASSERT_TRUE(decoder.initialize(0, 0));
    std::unique_ptr<DecodedFrame> frame;
    for (int f = 0; f < 3; ++f) {
        const auto packet = encoder.encode(nv12.data(), kWidth, kHeight, f, false);
        ASSERT_NE(packet, nullptr);
        frame = decoder.decode(packet->data.data(), packet->data.size(), packet->timestamp);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->timestamp, f);
    }
    ASSERT_EQ(frame->width, kWidth);
    ASSERT_EQ(frame->height, kHeight);

    // Away from the edge between the halves, where the coding blurs the colours into each other.
    constexpr int kHalf = kWidth / 2, kMargin = 16, kSpan = kHalf - 2 * kMargin;
    const struct {
        const char* name;
        int firstColumn;
        double y, cb, cr;
    } halves[] = {{"red", kMargin, 76, 85, 255}, {"blue", kHalf + kMargin, 29, 255, 107}};
    for (const auto& half : halves) {
        SCOPED_TRACE(half.name);
        EXPECT_NEAR(meanOf(frame->y, half.firstColumn, kHeight, kWidth, kSpan, 1), half.y, 2.0);
        EXPECT_NEAR(meanOf(frame->uv, half.firstColumn, kHeight / 2, kWidth, kSpan, 2), half.cb, 3.0);
        EXPECT_NEAR(meanOf(frame->uv, half.firstColumn + 1, kHeight / 2, kWidth, kSpan, 2), half.cr, 3.0);
    }
}

TEST(CodecRoundTripTest, AnOddCaptureTravelsAtItsEvenSize) {
    const Bytes bgra = redAndBlue(1921, 1081);
    Bytes nv12 = FrameConverter::allocateNv12Buffer(1921, 1081);
    FrameConverter converter;
    converter.convert(bgra.data(), 1921, 1081, 1921 * 4, nv12.data(), 0);

    AV1Encoder encoder;
    EncoderConfig config = configFor(1921, 1081);
    config.preset = "13";
    ASSERT_TRUE(encoder.initialize(config));
    const QSize size = encoder.configuredSize();
    ASSERT_EQ(size, QSize(1920, 1080));
    const auto packet = encoder.encode(nv12.data(), size.width(), size.height(), 0, false);
    ASSERT_NE(packet, nullptr);

    AV1Decoder decoder;
    ASSERT_TRUE(decoder.initialize(0, 0));
    const auto frame = decoder.decode(packet->data.data(), packet->data.size(), 0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 1920);
    EXPECT_EQ(frame->height, 1080);
    EXPECT_EQ(frame->uv.size(), 1920u * 540u);
}

TEST(CodecRoundTripTest, AForcedKeyFrameStartsAFreshDecoder) {
    AV1Encoder encoder;
    ASSERT_TRUE(encoder.initialize(configFor(64, 48)));
    std::vector<std::unique_ptr<EncodedFrame>> packets;
    for (int f = 0; f < 12; ++f) {
        const Bytes picture = movingNv12(64, 48, f);
        packets.push_back(encoder.encode(picture.data(), 64, 48, f, f == 8));
        ASSERT_NE(packets.back(), nullptr);
        EXPECT_EQ(packets.back()->keyFrame, f == 0 || f == 8) << f;
    }

    // A viewer that joins at the forced key frame decodes it and the frames after it.
    test::LogCapture log;
    AV1Decoder decoder;
    ASSERT_TRUE(decoder.initialize(0, 0));
    const auto joinedWithADelta = decoder.decode(packets[5]->data.data(), packets[5]->data.size(), 5);
    EXPECT_EQ(joinedWithADelta, nullptr);  // a delta frame alone has nothing to refer to
    for (int f = 8; f < 12; ++f) {
        const auto frame = decoder.decode(packets[f]->data.data(), packets[f]->data.size(), f);
        ASSERT_NE(frame, nullptr) << f;
        EXPECT_EQ(frame->width, 64);
    }
}

}  // namespace
}  // namespace veltrix
