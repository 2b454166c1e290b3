#pragma once

// A generated 1920x1080 BGRA desktop for the video benchmarks: a gradient wallpaper, a task bar
// with icons, a static side window, and a document window whose text can scroll. Text is drawn
// with a fixed, seeded set of 8 x 16 glyphs of strokes, which has the sharp edges and the density
// of real text.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace veltrix::bench {

class GeneratedDesktop {
public:
    using Bytes = std::vector<std::uint8_t>;
    static constexpr int kWidth = 1920;
    static constexpr int kHeight = 1080;
    static constexpr int kStride = kWidth * 4;

    struct Rect {
        int x, y, width, height;
    };

    static constexpr Rect kDocument{300, 120, 1200, 820};    // the scrolling text sits in here
    static constexpr Rect kSideWindow{1540, 120, 340, 820};  // static text
    static constexpr Rect kTaskBar{0, 1040, 1920, 40};
    static constexpr Rect kClock{1800, 1048, 96, 24};
    static constexpr int kGlyphWidth = 8;
    static constexpr int kGlyphHeight = 16;
    static constexpr int kLineHeight = 20;
    static constexpr int kScrollPixelsPerFrame = 6;

    GeneratedDesktop() : glyphs_(makeGlyphs()), page_(makePage(kDocument.width - 20, 4000)) {
        base_.resize(static_cast<std::size_t>(kStride) * kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                put(base_, x, y, static_cast<std::uint8_t>(90 + y * 60 / kHeight), static_cast<std::uint8_t>(60 + x * 40 / kWidth), 40);
        fill(base_, kTaskBar, 32, 32, 36);
        for (int i = 0; i < 12; ++i) fill(base_, {12 + i * 48, kTaskBar.y + 6, 28, 28}, static_cast<std::uint8_t>(40 + i * 17), static_cast<std::uint8_t>(200 - i * 11), static_cast<std::uint8_t>(120 + i * 9));
        window(base_, kDocument);
        window(base_, kSideWindow);
        std::mt19937 random(7);
        for (int line = 0; line * kLineHeight + 60 < kSideWindow.height; ++line)
            text(base_, kSideWindow.x + 10, kSideWindow.y + 40 + line * kLineHeight, 38, random);
        blit(base_, 0);
    }

    // Frame `index` of a clip: with `scrolling` the document moves up by a few pixels a frame;
    // without, only the caret blinks and the clock changes now and then.
    const Bytes& frame(int index, bool scrolling) {
        current_ = base_;
        blit(current_, scrolling ? (index * kScrollPixelsPerFrame) % (pageHeight_ - kDocument.height) : 0);
        if (!scrolling && (index / 10) % 2 == 0) fill(current_, {kDocument.x + 430, kDocument.y + 62, 2, 16}, 0, 0, 0);
        fill(current_, kClock, 32, 32, 36);
        std::mt19937 random(static_cast<unsigned>(index / 20));
        text(current_, kClock.x + 4, kClock.y + 4, 5, random, 230);
        return current_;
    }

private:
    static void put(Bytes& picture, int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        std::uint8_t* p = picture.data() + static_cast<std::size_t>(y) * kStride + static_cast<std::size_t>(x) * 4;
        p[0] = b;
        p[1] = g;
        p[2] = r;
        p[3] = 255;
    }

    static void fill(Bytes& picture, Rect area, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        for (int y = area.y; y < area.y + area.height; ++y)
            for (int x = area.x; x < area.x + area.width; ++x) put(picture, x, y, r, g, b);
    }

    static void window(Bytes& picture, Rect area) {
        fill(picture, {area.x - 1, area.y - 31, area.width + 2, area.height + 32}, 20, 20, 20);
        fill(picture, {area.x, area.y - 30, area.width, 30}, 45, 85, 160);
        fill(picture, area, 250, 250, 250);
    }

    static std::vector<std::uint16_t> makeGlyphs() {
        // Each glyph: 16 rows of an 8-bit mask; a few vertical and horizontal strokes, like letters.
        std::mt19937 random(1);
        std::vector<std::uint16_t> glyphs(96 * kGlyphHeight, 0);
        for (int g = 0; g < 96; ++g) {
            const int top = 3 + static_cast<int>(random() % 3);
            const int bottom = 12 + static_cast<int>(random() % 3);
            for (int stroke = 0; stroke < 3; ++stroke) {
                const int column = 1 + static_cast<int>(random() % 6);
                for (int y = top; y <= bottom; ++y)
                    if (random() % 5) glyphs[g * kGlyphHeight + y] |= static_cast<std::uint16_t>(1u << column);
            }
            for (int bar = 0; bar < 2; ++bar) {
                const int row = top + static_cast<int>(random() % static_cast<unsigned>(bottom - top + 1));
                glyphs[g * kGlyphHeight + row] |= 0x7E;
            }
        }
        return glyphs;
    }

    void glyph(Bytes& picture, int stride, int x, int y, int index, std::uint8_t ink) const {
        for (int row = 0; row < kGlyphHeight; ++row) {
            const std::uint16_t mask = glyphs_[index * kGlyphHeight + row];
            std::uint8_t* p = picture.data() + static_cast<std::size_t>(y + row) * stride + static_cast<std::size_t>(x) * 4;
            for (int column = 0; column < kGlyphWidth; ++column, p += 4)
                if (mask & (1u << column)) p[0] = p[1] = p[2] = ink;
        }
    }

    void text(Bytes& picture, int x, int y, int characters, std::mt19937& random, std::uint8_t ink = 20) const {
        text(picture, kStride, x, y, characters, random, ink);
    }

    void text(Bytes& picture, int stride, int x, int y, int characters, std::mt19937& random, std::uint8_t ink) const {
        int word = 0;
        for (int i = 0; i < characters; ++i, x += kGlyphWidth) {
            if (word == 0) {
                word = 2 + static_cast<int>(random() % 9);
                continue;  // a blank between words
            }
            --word;
            glyph(picture, stride, x, y, static_cast<int>(random() % 96), ink);
        }
    }

    Bytes makePage(int width, int height) {
        pageWidth_ = width;
        pageHeight_ = height;
        Bytes page(static_cast<std::size_t>(width) * height * 4, 250);
        std::mt19937 random(3);
        for (int line = 0; (line + 1) * kLineHeight < height; ++line) {
            const int length = line % 7 == 6 ? 0 : 60 + static_cast<int>(random() % 85);  // paragraph breaks
            text(page, width * 4, 10, line * kLineHeight + 2, std::min(length, (width - 20) / kGlyphWidth), random, 20);
        }
        return page;
    }

    void blit(Bytes& picture, int offset) const {
        for (int y = 0; y < kDocument.height; ++y)
            std::memcpy(picture.data() + static_cast<std::size_t>(kDocument.y + y) * kStride + static_cast<std::size_t>(kDocument.x + 10) * 4,
                        page_.data() + static_cast<std::size_t>(offset + y) * pageWidth_ * 4, static_cast<std::size_t>(pageWidth_) * 4);
    }

    std::vector<std::uint16_t> glyphs_;
    int pageWidth_ = 0;
    int pageHeight_ = 0;
    Bytes page_;
    Bytes base_;
    Bytes current_;
};

}  // namespace veltrix::bench
