#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "display/egl_image.h"
#include "support/console_kernel.h"
#include "support/param_name.h"

namespace {

using qm::egl_image;

// A compressed picture as the program carries them: header words, rows,
// gzip around it all.
std::vector<uint8_t> gzip(const std::vector<uint8_t>& raw) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&stream, raw.size()));
    stream.next_in = const_cast<Bytef*>(raw.data());
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::vector<uint8_t> raw_picture(uint32_t w, uint32_t h, uint32_t bpp, const std::vector<uint8_t>& rows,
                                 bool big_endian = false) {
    std::vector<uint8_t> raw;
    for (const uint32_t word : {w, h, bpp})
        for (int i = 0; i < 4; ++i) raw.push_back(static_cast<uint8_t>(word >> (big_endian ? 24 - 8 * i : 8 * i)));
    raw.insert(raw.end(), rows.begin(), rows.end());
    return raw;
}

// ---------------------------------------------------------------- pixels

struct PixelCase {
    const char* name;
    uint32_t bpp;
    int x;
    unsigned color;
    uint8_t background;
    std::vector<uint8_t> row;  // the row after the write
};

class EglPixel : public testing::TestWithParam<PixelCase> {};

TEST_P(EglPixel, PutChangesOnlyItsBitsAndGetReadsThemBack) {
    const auto& c = GetParam();
    std::vector<uint8_t> buffer(c.row.size(), c.background);
    egl_image image;
    ASSERT_EQ(qm::egl_create_from_buffer(&image, buffer.data(), static_cast<uint32_t>(buffer.size() * 8 / c.bpp), 1,
                                         c.bpp),
              1);
    qm::egl_putpixel(&image, c.x, 0, c.color);
    EXPECT_EQ(buffer, c.row);
    EXPECT_EQ(qm::egl_getpixel(&image, c.x, 0), c.color & ((1u << c.bpp) - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Depths, EglPixel,
    testing::Values(PixelCase{"bpp1_first", 1, 0, 1, 0x00, {0x80, 0x00}},
                    PixelCase{"bpp1_ninth", 1, 9, 1, 0x00, {0x00, 0x40}},
                    PixelCase{"bpp1_clear_last", 1, 15, 0, 0xFF, {0xFF, 0xFE}},
                    PixelCase{"bpp2_value3_at_1", 2, 1, 3, 0x00, {0x30, 0x00}},
                    PixelCase{"bpp2_value0_at_1_keeps_neighbours", 2, 1, 0, 0xFF, {0xCF, 0xFF}},
                    PixelCase{"bpp2_fifth_pixel", 2, 4, 2, 0x00, {0x00, 0x80}},
                    PixelCase{"bpp2_only_low_bits_stored", 2, 3, 0x7, 0x00, {0x03, 0x00}},
                    PixelCase{"bpp4_even_high_nibble", 4, 0, 0xA, 0x00, {0xA0, 0x00}},
                    PixelCase{"bpp4_odd_low_nibble", 4, 1, 0xA, 0x55, {0x5A, 0x55}},
                    PixelCase{"bpp4_third", 4, 2, 0xF, 0x00, {0x00, 0xF0}},
                    PixelCase{"bpp8_low_byte", 8, 1, 0x1AB, 0x00, {0x00, 0xAB}}),
    test::ParamName());

TEST(EglPixelBounds, OutsideReadsZeroAndWritesNothing) {
    std::vector<uint8_t> buffer(3 * 2 + 2, 0xFF);  // 10 pixels at 2 bpp, 2 rows, and a guard
    egl_image image;
    ASSERT_EQ(qm::egl_create_from_buffer(&image, buffer.data(), 10, 2, 2), 1);
    EXPECT_EQ(image.rowbytes, 3u);
    const std::vector<uint8_t> before = buffer;
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{-1, 0}, {10, 0}, {0, 2}, {0, -1}, {12, 0}}) {
        EXPECT_EQ(qm::egl_getpixel(&image, x, y), 0u) << x << "," << y;
        qm::egl_putpixel(&image, x, y, 0);
    }
    EXPECT_EQ(buffer, before);
    EXPECT_EQ(qm::egl_getpixel(&image, 9, 1), 3u);
}

TEST(EglPixelBounds, UnsupportedDepthsReadZeroAndWriteNothing) {
    uint8_t buffer[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    egl_image image;
    ASSERT_EQ(qm::egl_create_from_buffer(&image, buffer, 2, 1, 16), 1);
    EXPECT_EQ(qm::egl_getpixel(&image, 0, 0), 0u);
    qm::egl_putpixel(&image, 1, 0, 0);
    EXPECT_EQ(buffer[2], 0xFF);
}

TEST(EglCreate, RowsArePaddedToWholeBytesAndBufferIsBorrowed) {
    test::ConsoleKernel device;
    uint8_t buffer[300] = {};
    egl_image image;
    ASSERT_EQ(qm::egl_create_from_buffer(&image, buffer, 600, 1, 4), 1);
    EXPECT_EQ(image.rowbytes, 300u);
    EXPECT_EQ(image.image_data, buffer);
    EXPECT_EQ(image.was_malloc, 0u);
    qm::egl_destroy(&image);
    EXPECT_EQ(image.image_data, buffer);  // not ours to free

    ASSERT_EQ(qm::egl_create_from_buffer(&image, buffer, 5, 1, 1), 1);
    EXPECT_EQ(image.rowbytes, 1u);
    EXPECT_EQ(device.take_console(), "");

    egl_image untouched;
    untouched.xres = 77;
    EXPECT_EQ(qm::egl_create_from_buffer(&untouched, buffer, 0, 1, 1), 0);
    EXPECT_EQ(qm::egl_create_from_buffer(&untouched, buffer, 1, 0, 1), 0);
    EXPECT_EQ(qm::egl_create_from_buffer(&untouched, buffer, 1, 1, 0), 0);
    EXPECT_EQ(qm::egl_create_from_buffer(nullptr, buffer, 1, 1, 1), 0);
    EXPECT_EQ(untouched.xres, 77u);
    EXPECT_EQ(device.take_console(), "WARNING:egl_create_from_buffer() failed\n"
                                     "WARNING:egl_create_from_buffer() failed\n"
                                     "WARNING:egl_create_from_buffer() failed\n"
                                     "WARNING:egl_create_from_buffer() failed\n");
}

// ------------------------------------------------------------ rectangles

// Pictures whose pixel (x, y) is a recognisable value.
struct Surface {
    std::vector<uint8_t> bytes;
    egl_image image;
    Surface(uint32_t w, uint32_t h, uint32_t bpp) : bytes(qm::egl_rowbytes(w, bpp, 0) * h, 0) {
        (void)qm::egl_create_from_buffer(&image, bytes.data(), w, h, bpp);
    }
    unsigned at(int x, int y) const { return qm::egl_getpixel(&image, x, y); }
};

TEST(EglCopyrect, ScalesValuesBetweenDepths) {
    Surface two(4, 1, 2);
    for (int x = 0; x < 4; ++x) qm::egl_putpixel(&two.image, x, 0, static_cast<unsigned>(x));
    Surface four(4, 1, 4);
    qm::egl_copyrect(&four.image, &two.image, 0, 0, 4, 1, 0, 0);
    EXPECT_EQ((std::vector<unsigned>{four.at(0, 0), four.at(1, 0), four.at(2, 0), four.at(3, 0)}),
              (std::vector<unsigned>{0, 5, 10, 15}));

    Surface back(4, 1, 2);
    qm::egl_copyrect(&back.image, &four.image, 0, 0, 4, 1, 0, 0);
    EXPECT_EQ(back.bytes, two.bytes);

    Surface one(8, 1, 1);
    qm::egl_copyrect(&one.image, &two.image, 0, 0, 4, 1, 0, 0);
    // 3 * 1 / 3 = 1; 1 and 2 fall to 0 by integer division.
    EXPECT_EQ(one.bytes[0], 0x10);
}

struct ClipCase {
    const char* name;
    int dx, dy;
    unsigned w, h;
    int sx, sy;
    std::vector<std::pair<int, int>> drawn_range;  // {first x, last x}, {first y, last y}; empty: nothing drawn
    int source_x_at_first;  // source column copied to the first drawn column
};

class EglClip : public testing::TestWithParam<ClipCase> {};

TEST_P(EglClip, CopiesOnlyInsideTheDestination) {
    const auto& c = GetParam();
    // Source pixel (x, y) holds 1 + (x + y) % 255 so a copy can be traced.
    Surface src(40, 40, 8);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) qm::egl_putpixel(&src.image, x, y, 1 + static_cast<unsigned>(x + y) % 255);
    Surface dst(20, 16, 8);
    qm::egl_copyrect(&dst.image, &src.image, c.dx, c.dy, c.w, c.h, c.sx, c.sy);

    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 20; ++x) {
            const bool inside = !c.drawn_range.empty() && x >= c.drawn_range[0].first &&
                                x <= c.drawn_range[0].second && y >= c.drawn_range[1].first &&
                                y <= c.drawn_range[1].second;
            if (!inside) {
                ASSERT_EQ(dst.at(x, y), 0u) << "drawn outside at " << x << "," << y;
                continue;
            }
            const int sx = c.source_x_at_first + (x - c.drawn_range[0].first);
            const int sy = c.sy + (y - c.drawn_range[1].first);
            ASSERT_EQ(dst.at(x, y), src.at(sx, sy)) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EglClip,
    testing::Values(
        ClipCase{"inside", 2, 3, 5, 4, 7, 8, {{2, 6}, {3, 6}}, 7},
        // Clipping at the left keeps the source corner: 9 columns from sx.
        ClipCase{"left_edge_keeps_source_corner", -5, 0, 14, 2, 3, 1, {{0, 8}, {0, 1}}, 3},
        ClipCase{"top_edge", 0, -3, 2, 5, 0, 4, {{0, 1}, {0, 1}}, 0},
        ClipCase{"right_and_bottom_edges", 15, 12, 10, 10, 0, 0, {{15, 19}, {12, 15}}, 0},
        ClipCase{"corner_right_of_destination", 20, 0, 4, 4, 0, 0, {}, 0},
        ClipCase{"corner_below_destination", 0, 16, 4, 4, 0, 0, {}, 0},
        // Further left than it is wide: nothing, rather than a wrapped width.
        ClipCase{"entirely_left_of_destination", -20, 0, 14, 4, 0, 0, {}, 0},
        ClipCase{"entirely_above_destination", 0, -9, 4, 4, 0, 0, {}, 0}),
    test::ParamName());

TEST(EglCopyrect, SourcePixelsOutsideTheSourceReadAsPaper) {
    Surface src(4, 4, 2);
    std::memset(src.bytes.data(), 0xFF, src.bytes.size());
    Surface dst(8, 1, 2);
    std::memset(dst.bytes.data(), 0xFF, dst.bytes.size());
    qm::egl_copyrect(&dst.image, &src.image, 0, 0, 8, 1, 2, 0);
    EXPECT_EQ(dst.bytes, (std::vector<uint8_t>{0xF0, 0x00}));
}

// --------------------------------------------------------------- loading

struct LoadCase {
    const char* name;
    uint32_t flags;
    uint32_t width;
    uint32_t rowbytes;
    bool big_endian;
};

class EglLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(EglLoad, InflatesHeaderAndRowsForThePaddingMode) {
    const auto& c = GetParam();
    test::ConsoleKernel device;
    const uint32_t height = 3;
    std::vector<uint8_t> rows(size_t{c.rowbytes} * height);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<uint8_t>(i * 37 + 1);
    const auto data = gzip(raw_picture(c.width, height, 2, rows, c.big_endian));

    egl_image image;
    ASSERT_EQ(qm::egl_load_memory("test", &image, data.data(), data.size(), c.flags), 1) << device.console();
    EXPECT_EQ(image.xres, c.width);
    EXPECT_EQ(image.yres, height);
    EXPECT_EQ(image.bpp, 2u);
    EXPECT_EQ(image.rowbytes, c.rowbytes);
    EXPECT_EQ(image.was_malloc, 1u);
    EXPECT_EQ(std::vector<uint8_t>(image.image_data, image.image_data + rows.size()), rows);
    // Pixel (1, 2) sits in the third row's first byte, bits 5-4.
    EXPECT_EQ(qm::egl_getpixel(&image, 1, 2), (rows[size_t{c.rowbytes} * 2] >> 4) & 3u);
    qm::egl_destroy(&image);
    EXPECT_EQ(image.image_data, nullptr);
    EXPECT_EQ(image.was_malloc, 0u);
    EXPECT_EQ(device.console(), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, EglLoad,
                         testing::Values(LoadCase{"bytes", qm::egl_padding_8, 9, 3, false},
                                         LoadCase{"halfwords", qm::egl_padding_16, 9, 4, false},
                                         LoadCase{"words", qm::egl_padding_32, 9, 4, false},
                                         LoadCase{"words_wide", qm::egl_padding_32, 17, 8, false},
                                         LoadCase{"big_endian_header", qm::egl_flag_big_endian, 9, 3, true}),
                         test::ParamName());

struct BadLoadCase {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t flags;
    const char* message;  // expected in the console
};

class EglLoadFails : public testing::TestWithParam<BadLoadCase> {};

TEST_P(EglLoadFails, EndsWithoutPixels) {
    const auto& c = GetParam();
    test::ConsoleKernel device;
    egl_image image;
    uint8_t dummy = 0;
    image.image_data = &dummy;  // a load always starts by forgetting the old pixels
    EXPECT_EQ(qm::egl_load_memory("bad", &image, c.data.data(), c.data.size(), c.flags), 0);
    EXPECT_EQ(image.image_data, nullptr);
    EXPECT_EQ(image.was_malloc, 0u);
    EXPECT_NE(device.console().find(c.message), std::string::npos) << device.console();
}

std::vector<uint8_t> good_picture() { return gzip(raw_picture(8, 2, 2, {1, 2, 3, 4})); }

std::vector<uint8_t> cut(std::vector<uint8_t> data, size_t keep) {
    data.resize(keep);
    return data;
}

std::vector<uint8_t> flipped(std::vector<uint8_t> data, size_t at) {
    data[at] ^= 0xFF;
    return data;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EglLoadFails,
    testing::Values(
        BadLoadCase{"padding_mode_4", good_picture(), 4, "ERROR:Unsupported padding mode: 0x4\n"},
        BadLoadCase{"not_gzip", std::vector<uint8_t>(64, 'x'), 0, "ERROR:bad:incorrect header check (zerr=-3)\n"},
        BadLoadCase{"cut_inside_header", cut(good_picture(), 14), 0, ""},
        BadLoadCase{"cut_inside_rows", cut(good_picture(), good_picture().size() - 12), 0, "ERROR:bad:90:"},
        BadLoadCase{"damaged_deflate_data", flipped(good_picture(), 14), 0, "ERROR:bad:"},
        BadLoadCase{"rows_shorter_than_header_says", gzip(raw_picture(8, 3, 2, {1, 2, 3, 4})), 0,
                    "ERROR:bad:picture data ends 2 bytes short\n"},
        BadLoadCase{"only_part_of_the_header", gzip({1, 0, 0, 0, 1}), 0, ""},
        BadLoadCase{"absurd_size", gzip(raw_picture(0x7fffffff, 0x7fffffff, 8, std::vector<uint8_t>(64, 1))), 0, "refused"}),
    test::ParamName());

TEST(EglLoad, MissingArgumentsFailAtOnce) {
    test::ConsoleKernel device;
    const auto data = good_picture();
    egl_image image;
    EXPECT_EQ(qm::egl_load_memory(nullptr, nullptr, data.data(), data.size(), 0), 0);
    EXPECT_EQ(qm::egl_load_memory("x", &image, nullptr, 10, 0), 0);
    EXPECT_EQ(qm::egl_load_memory("x", &image, data.data(), 0, 0), 0);
    EXPECT_EQ(device.console(), "");
    // Without a name the messages say which routine failed.
    EXPECT_EQ(qm::egl_load_memory(nullptr, &image, data.data(), data.size(), 4), 0);
    const std::vector<uint8_t> junk(32, 'x');
    EXPECT_EQ(qm::egl_load_memory(nullptr, &image, junk.data(), junk.size(), 0), 0);
    EXPECT_NE(device.console().find("ERROR:egl_load_memory:incorrect header check"), std::string::npos)
        << device.console();
}

}  // namespace
