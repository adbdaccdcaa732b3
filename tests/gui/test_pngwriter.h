#pragma once

// Writes small PNG files of any colour type and bit depth for the image and button tests, so
// that every case is spelt out sample by sample in the test itself.

#include <QByteArray>
#include <QMetaType>

#include <png.h>

#include <cstdint>
#include <vector>

namespace pngtest {

struct PngRecipe
{
    int width = 0;
    int height = 0;
    int colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    int bitDepth = 8;
    bool interlaced = false;
    // Unpacked samples, row by row, channel by channel (palette images: indices).
    std::vector<std::uint16_t> samples;
    std::vector<png_color> palette;
    std::vector<png_byte> paletteAlpha; // tRNS of a palette image
    bool hasTransColor = false;         // tRNS of a grey or RGB image
    png_color_16 transColor{};
    double gamma = 0; // gAMA when not 0
};

inline int channelsOf(int colorType)
{
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        return 4;
    default:
        return 1;
    }
}

namespace detail {

inline void appendBytes(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<QByteArray*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(length));
}

inline void flushNothing(png_structp) {}

// Holds only plain data, as libpng may longjmp out of it.
inline bool writeAll(png_structp png, png_infop info, const PngRecipe* recipe, png_bytepp rows,
                     QByteArray* out)
{
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_write_fn(png, out, appendBytes, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(recipe->width),
                 static_cast<png_uint_32>(recipe->height), recipe->bitDepth, recipe->colorType,
                 recipe->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!recipe->palette.empty()) {
        png_set_PLTE(png, info, recipe->palette.data(), static_cast<int>(recipe->palette.size()));
    }
    if (!recipe->paletteAlpha.empty()) {
        png_set_tRNS(png, info, recipe->paletteAlpha.data(),
                     static_cast<int>(recipe->paletteAlpha.size()), nullptr);
    } else if (recipe->hasTransColor) {
        png_color_16 color = recipe->transColor;
        png_set_tRNS(png, info, nullptr, 0, &color);
    }
    if (recipe->gamma > 0) {
        png_set_gAMA(png, info, recipe->gamma);
    }
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

} // namespace detail

// The PNG file of recipe; empty when libpng refused it.
inline QByteArray encodePng(const PngRecipe& recipe)
{
    const int channels = channelsOf(recipe.colorType);
    const std::size_t rowBytes =
        (static_cast<std::size_t>(recipe.width) * channels * recipe.bitDepth + 7) / 8;
    std::vector<png_byte> pixels(rowBytes * static_cast<std::size_t>(recipe.height), 0);
    std::size_t sample = 0;
    for (int y = 0; y < recipe.height; ++y) {
        png_byte* row = pixels.data() + rowBytes * static_cast<std::size_t>(y);
        for (int i = 0; i < recipe.width * channels; ++i, ++sample) {
            const unsigned value = sample < recipe.samples.size() ? recipe.samples[sample] : 0;
            if (recipe.bitDepth == 16) {
                row[2 * i] = static_cast<png_byte>(value >> 8);
                row[2 * i + 1] = static_cast<png_byte>(value & 0xFF);
            } else if (recipe.bitDepth == 8) {
                row[i] = static_cast<png_byte>(value);
            } else {
                const int perByte = 8 / recipe.bitDepth;
                const int shift = 8 - recipe.bitDepth * (i % perByte + 1);
                row[i / perByte] |= static_cast<png_byte>(value << shift);
            }
        }
    }
    std::vector<png_bytep> rows(static_cast<std::size_t>(recipe.height));
    for (int y = 0; y < recipe.height; ++y) {
        rows[static_cast<std::size_t>(y)] = pixels.data() + rowBytes * static_cast<std::size_t>(y);
    }

    QByteArray out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool ok = info && detail::writeAll(png, info, &recipe, rows.data(), &out);
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return ok ? out : QByteArray();
}

} // namespace pngtest

Q_DECLARE_METATYPE(pngtest::PngRecipe)
