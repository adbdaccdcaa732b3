#include "pngimage/PngImage.h"

#include "common/QeltError.h"

#include <QFile>
#include <QImage>
#include <QPainter>

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Larger images are refused before their pixels are allocated, so that a damaged header cannot
// make us reserve gigabytes. Glyphs are a few hundred pixels.
constexpr png_uint_32 maxSide = 16384;
constexpr std::size_t maxPixelBytes = std::size_t{1} << 28;

// Everything below that libpng can longjmp through holds only trivially destructible data:
// the C++ objects live in PngDecoder::decode, outside the setjmp frames.
struct ReadSource
{
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
    bool cutShort;
};

struct ErrorSlot
{
    char message[200];
};

struct HeaderOut
{
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int fileColorType;
    int colorType; // after the transforms
    int channels;  // after the transforms
    std::size_t rowBytes;
    int numPalette;
    png_color palette[256];
    int numTrans;
    png_byte transAlpha[256];
    bool hasTransColor;
    png_color_16 transColor;
    bool hasGamma;
    png_fixed_point gamma;
};

void readFromSource(png_structp png, png_bytep out, png_size_t length)
{
    auto* source = static_cast<ReadSource*>(png_get_io_ptr(png));
    if (length > source->size - source->pos) {
        source->cutShort = true;
        png_error(png, "unexpected end of data");
    }
    std::memcpy(out, source->data + source->pos, length);
    source->pos += length;
}

[[noreturn]] void onPngError(png_structp png, png_const_charp message)
{
    auto* slot = static_cast<ErrorSlot*>(png_get_error_ptr(png));
    std::snprintf(slot->message, sizeof slot->message, "%s", message ? message : "");
    png_longjmp(png, 1);
}

// Ancillary-chunk complaints (bad CRC, odd values) are not worth refusing a glyph for.
void onPngWarning(png_structp, png_const_charp) {}

// Reads the chunks before the image data and sets up the transforms that leave 8 bits per
// sample. Returns false when libpng failed.
bool readHeader(png_structp png, png_infop info, ReadSource* source, HeaderOut* out)
{
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_read_fn(png, source, readFromSource);
    png_set_user_limits(png, maxSide, maxSide);
    png_read_info(png, info);

    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->bitDepth = png_get_bit_depth(png, info);
    out->fileColorType = png_get_color_type(png, info);

    png_colorp palette = nullptr;
    int numPalette = 0;
    if (png_get_PLTE(png, info, &palette, &numPalette) != 0 && palette) {
        out->numPalette = std::min(numPalette, 256);
        std::memcpy(out->palette, palette, sizeof(png_color) * out->numPalette);
    }
    png_bytep transAlpha = nullptr;
    int numTrans = 0;
    png_color_16p transColor = nullptr;
    if (png_get_tRNS(png, info, &transAlpha, &numTrans, &transColor) != 0) {
        if (out->fileColorType == PNG_COLOR_TYPE_PALETTE && transAlpha) {
            out->numTrans = std::min(numTrans, 256);
            std::memcpy(out->transAlpha, transAlpha, out->numTrans);
        } else if (transColor) {
            out->hasTransColor = true;
            out->transColor = *transColor;
        }
    }
    if (png_get_valid(png, info, PNG_INFO_gAMA) != 0) {
        png_fixed_point gamma = 0;
        if (png_get_gAMA_fixed(png, info, &gamma) != 0 && gamma > 0) {
            out->hasGamma = true;
            out->gamma = gamma;
        }
    }

    if (out->bitDepth == 16) {
        // The transparent colour of a 16-bit image is exact only at 16 bits, so it becomes
        // alpha before the samples are narrowed.
        if (out->hasTransColor) {
            png_set_tRNS_to_alpha(png);
            out->hasTransColor = false;
        }
        png_set_scale_16(png);
    } else if (out->bitDepth < 8) {
        if (out->fileColorType == PNG_COLOR_TYPE_GRAY) {
            png_set_expand_gray_1_2_4_to_8(png);
        } else {
            png_set_packing(png);
        }
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out->colorType = png_get_color_type(png, info);
    out->channels = png_get_channels(png, info);
    out->rowBytes = png_get_rowbytes(png, info);
    return true;
}

bool readPixels(png_structp png, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

struct ReadStructs
{
    png_structp png = nullptr;
    png_infop info = nullptr;
    ReadStructs(const ReadStructs&) = delete;
    ReadStructs& operator=(const ReadStructs&) = delete;
    ReadStructs() = default;
    ~ReadStructs() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

QRgb grey(std::uint8_t value)
{
    return qRgb(value, value, value);
}

std::uint8_t lumaOf(QRgb color)
{
    return static_cast<std::uint8_t>(qGray(color));
}

} // namespace

struct PngDecoder
{
    static TPNGObject decode(const std::uint8_t* data, std::size_t size);
};

TPNGObject PngDecoder::decode(const std::uint8_t* data, std::size_t size)
{
    if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0) {
        throw qelt::QeltError("Not a PNG image");
    }
    ErrorSlot error{};
    ReadSource source{data, size, 0, false};
    ReadStructs structs;
    structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning);
    if (structs.png) {
        structs.info = png_create_info_struct(structs.png);
    }
    if (!structs.png || !structs.info) {
        throw qelt::QeltError("Out of memory while reading a PNG image");
    }
    auto failure = [&]() {
        if (source.cutShort) {
            return qelt::QeltError("The PNG image is cut short");
        }
        return qelt::QeltError(std::string("The PNG image is damaged: ") + error.message);
    };

    HeaderOut header{};
    if (!readHeader(structs.png, structs.info, &source, &header)) {
        throw failure();
    }
    const int channels = header.channels;
    if (header.width == 0 || header.height == 0 || channels < 1 || channels > 4 ||
        header.rowBytes != std::size_t{header.width} * static_cast<std::size_t>(channels)) {
        throw qelt::QeltError("The PNG image has an unsupported layout");
    }
    if (header.rowBytes * header.height > maxPixelBytes) {
        throw qelt::QeltError("The PNG image is too large");
    }
    std::vector<std::uint8_t> pixels(header.rowBytes * header.height);
    std::vector<png_bytep> rows(header.height);
    for (png_uint_32 y = 0; y < header.height; ++y) {
        rows[y] = pixels.data() + header.rowBytes * y;
    }
    if (!readPixels(structs.png, rows.data())) {
        throw failure();
    }

    TPNGObject image;
    image.m_width = static_cast<int>(header.width);
    image.m_height = static_cast<int>(header.height);
    image.m_bitDepth = header.bitDepth;
    switch (header.colorType) {
    case PNG_COLOR_TYPE_GRAY:
        image.m_colorType = PngColorType::Grayscale;
        break;
    case PNG_COLOR_TYPE_RGB:
        image.m_colorType = PngColorType::Rgb;
        break;
    case PNG_COLOR_TYPE_PALETTE:
        image.m_colorType = PngColorType::Palette;
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        image.m_colorType = PngColorType::GrayscaleAlpha;
        break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        image.m_colorType = PngColorType::RgbAlpha;
        break;
    default:
        throw qelt::QeltError("The PNG image has an unsupported colour type");
    }
    const bool withAlpha = image.m_colorType == PngColorType::GrayscaleAlpha ||
                           image.m_colorType == PngColorType::RgbAlpha;
    if (image.channels() + (withAlpha ? 1 : 0) != channels) {
        throw qelt::QeltError("The PNG image has an unsupported layout");
    }

    const std::size_t count = std::size_t{header.width} * header.height;
    const int colorChannels = image.channels();
    if (colorChannels == channels) {
        image.m_samples = std::move(pixels);
    } else {
        image.m_samples.resize(count * static_cast<std::size_t>(colorChannels));
        image.m_alpha.resize(count);
        const std::uint8_t* in = pixels.data();
        std::uint8_t* out = image.m_samples.data();
        for (std::size_t i = 0; i < count; ++i) {
            for (int c = 0; c < colorChannels; ++c) {
                *out++ = *in++;
            }
            image.m_alpha[i] = *in++;
        }
    }

    if (image.m_colorType == PngColorType::Palette) {
        if (header.numPalette == 0) {
            throw qelt::QeltError("The PNG image is damaged: palette image without a palette");
        }
        image.m_palette.resize(static_cast<std::size_t>(header.numPalette));
        image.m_paletteAlpha.assign(image.m_palette.size(), 255);
        for (int i = 0; i < header.numPalette; ++i) {
            const png_color& c = header.palette[i];
            image.m_palette[static_cast<std::size_t>(i)] = qRgb(c.red, c.green, c.blue);
        }
        if (header.numTrans > 0) {
            image.m_hasPaletteTrns = true;
            const int n = std::min(header.numTrans, header.numPalette);
            for (int i = 0; i < n; ++i) {
                image.m_paletteAlpha[static_cast<std::size_t>(i)] = header.transAlpha[i];
            }
        }
    } else if (header.hasTransColor) {
        // Sub-byte grey samples were stretched to 8 bits; the transparent grey goes with them.
        // A sample wider than the bit depth counts by its low bits alone, as decoders are to
        // read it (cutting it down to the largest sample instead made white transparent).
        const int largest = (1 << header.bitDepth) - 1;
        const int scale = 255 / largest;
        const auto widen = [&](png_uint_16 v) { return (v & largest) * scale; };
        const png_color_16& t = header.transColor;
        image.m_hasTransparentColor = true;
        image.m_transparentColor = image.m_colorType == PngColorType::Grayscale
                                       ? qRgb(widen(t.gray), widen(t.gray), widen(t.gray))
                                       : qRgb(widen(t.red), widen(t.green), widen(t.blue));
    }
    if (header.hasGamma) {
        image.m_gamma = static_cast<std::uint32_t>(header.gamma);
    }
    return image;
}

TPNGObject TPNGObject::createBlank(PngColorType colorType, int width, int height)
{
    TPNGObject image;
    image.m_colorType = colorType;
    if (width <= 0 || height <= 0) {
        return image;
    }
    image.m_width = width;
    image.m_height = height;
    const std::size_t count = std::size_t(width) * std::size_t(height);
    image.m_samples.assign(count * static_cast<std::size_t>(image.channels()), 0);
    if (colorType == PngColorType::GrayscaleAlpha || colorType == PngColorType::RgbAlpha) {
        image.m_alpha.assign(count, 0);
    }
    if (colorType == PngColorType::Palette) {
        image.m_palette.assign(1, qRgb(0, 0, 0));
        image.m_paletteAlpha.assign(1, 255);
    }
    return image;
}

TPNGObject TPNGObject::fromData(const std::uint8_t* data, std::size_t size)
{
    return PngDecoder::decode(data, size);
}

TPNGObject TPNGObject::fromData(const QByteArray& data)
{
    return PngDecoder::decode(reinterpret_cast<const std::uint8_t*>(data.constData()),
                              static_cast<std::size_t>(data.size()));
}

TPNGObject TPNGObject::fromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw qelt::QeltError("Cannot open file " + path.toStdString());
    }
    const QByteArray data = file.readAll();
    try {
        return fromData(data);
    } catch (const qelt::QeltError& e) {
        throw qelt::QeltError(path.toStdString() + ": " + e.what());
    }
}

TPNGObject TPNGObject::fromImage(const QImage& source)
{
    if (source.isNull()) {
        return TPNGObject();
    }
    const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
    TPNGObject image = createBlank(PngColorType::RgbAlpha, argb.width(), argb.height());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            image.setPixel(x, y, line[x]);
            image.m_alpha[image.index(x, y)] = static_cast<std::uint8_t>(qAlpha(line[x]));
        }
    }
    return image;
}

void TPNGObject::loadFromData(const QByteArray& data)
{
    *this = fromData(data);
}

int TPNGObject::channels() const
{
    switch (m_colorType) {
    case PngColorType::Rgb:
    case PngColorType::RgbAlpha:
        return 3;
    default:
        return 1;
    }
}

PngTransparency TPNGObject::transparencyMode() const
{
    switch (m_colorType) {
    case PngColorType::GrayscaleAlpha:
    case PngColorType::RgbAlpha:
        return PngTransparency::PerPixelAlpha;
    case PngColorType::Grayscale:
    case PngColorType::Rgb:
        return m_hasTransparentColor ? PngTransparency::SingleColor : PngTransparency::None;
    case PngColorType::Palette:
        break;
    }
    if (!m_hasPaletteTrns) {
        return PngTransparency::None;
    }
    int clear = 0;
    int partial = 0;
    for (std::uint8_t a : m_paletteAlpha) {
        clear += a == 0 ? 1 : 0;
        partial += (a != 0 && a != 255) ? 1 : 0;
    }
    if (partial == 0 && clear == 0) {
        return PngTransparency::None;
    }
    return (partial == 0 && clear == 1) ? PngTransparency::SingleColor
                                        : PngTransparency::PerPixelAlpha;
}

QRgb TPNGObject::transparentColor() const
{
    if (transparencyMode() != PngTransparency::SingleColor) {
        return 0;
    }
    if (m_colorType != PngColorType::Palette) {
        return m_transparentColor;
    }
    const auto at = std::find(m_paletteAlpha.begin(), m_paletteAlpha.end(), std::uint8_t{0});
    return m_palette[static_cast<std::size_t>(at - m_paletteAlpha.begin())];
}

QRgb TPNGObject::pixel(int x, int y) const
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return 0;
    }
    const std::size_t i = index(x, y);
    switch (m_colorType) {
    case PngColorType::Grayscale:
    case PngColorType::GrayscaleAlpha:
        return grey(m_samples[i]);
    case PngColorType::Palette: {
        const std::size_t entry = m_samples[i];
        return entry < m_palette.size() ? m_palette[entry] : qRgb(0, 0, 0);
    }
    case PngColorType::Rgb:
    case PngColorType::RgbAlpha:
        break;
    }
    const std::uint8_t* s = &m_samples[i * 3];
    return qRgb(s[0], s[1], s[2]);
}

void TPNGObject::setPixel(int x, int y, QRgb color)
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return;
    }
    const std::size_t i = index(x, y);
    switch (m_colorType) {
    case PngColorType::Grayscale:
    case PngColorType::GrayscaleAlpha:
        m_samples[i] = lumaOf(color);
        return;
    case PngColorType::Palette: {
        std::size_t best = 0;
        long bestDistance = -1;
        for (std::size_t e = 0; e < m_palette.size(); ++e) {
            const long dr = qRed(m_palette[e]) - qRed(color);
            const long dg = qGreen(m_palette[e]) - qGreen(color);
            const long db = qBlue(m_palette[e]) - qBlue(color);
            const long distance = dr * dr + dg * dg + db * db;
            if (bestDistance < 0 || distance < bestDistance) {
                best = e;
                bestDistance = distance;
            }
        }
        m_samples[i] = static_cast<std::uint8_t>(best);
        return;
    }
    case PngColorType::Rgb:
    case PngColorType::RgbAlpha:
        break;
    }
    std::uint8_t* s = &m_samples[i * 3];
    s[0] = static_cast<std::uint8_t>(qRed(color));
    s[1] = static_cast<std::uint8_t>(qGreen(color));
    s[2] = static_cast<std::uint8_t>(qBlue(color));
}

int TPNGObject::pixelAlpha(int x, int y) const
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return 0;
    }
    const std::size_t i = index(x, y);
    if (!m_alpha.empty()) {
        return m_alpha[i];
    }
    if (m_colorType == PngColorType::Palette) {
        const std::size_t entry = m_samples[i];
        return entry < m_paletteAlpha.size() ? m_paletteAlpha[entry] : 255;
    }
    if (m_hasTransparentColor && (pixel(x, y) & RGB_MASK) == (m_transparentColor & RGB_MASK)) {
        return 0;
    }
    return 255;
}

std::uint8_t* TPNGObject::alphaScanline(int y)
{
    if (m_alpha.empty() || y < 0 || y >= m_height) {
        return nullptr;
    }
    return m_alpha.data() + index(0, y);
}

const std::uint8_t* TPNGObject::alphaScanline(int y) const
{
    return const_cast<TPNGObject*>(this)->alphaScanline(y);
}

QList<QRgb> TPNGObject::palette() const
{
    QList<QRgb> entries;
    entries.reserve(static_cast<qsizetype>(m_palette.size()));
    for (std::size_t e = 0; e < m_palette.size(); ++e) {
        const QRgb c = m_palette[e];
        entries.append(qRgba(qRed(c), qGreen(c), qBlue(c), m_paletteAlpha[e]));
    }
    return entries;
}

void TPNGObject::setPalette(const QList<QRgb>& colors)
{
    if (m_colorType != PngColorType::Palette) {
        return;
    }
    const std::size_t n = std::min<std::size_t>(256, static_cast<std::size_t>(colors.size()));
    m_palette.resize(n);
    m_paletteAlpha.resize(n, 255);
    for (std::size_t e = 0; e < n; ++e) {
        const QRgb c = colors[static_cast<qsizetype>(e)];
        m_palette[e] = qRgb(qRed(c), qGreen(c), qBlue(c));
    }
}

void TPNGObject::addAlpha()
{
    if (isEmpty() || !m_alpha.empty()) {
        return;
    }
    const std::size_t count = std::size_t(m_width) * std::size_t(m_height);
    std::vector<std::uint8_t> alpha(count, 255);
    if (m_colorType == PngColorType::Palette) {
        std::vector<std::uint8_t> rgb(count * 3);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t entry = m_samples[i];
            const QRgb c = entry < m_palette.size() ? m_palette[entry] : qRgb(0, 0, 0);
            rgb[i * 3] = static_cast<std::uint8_t>(qRed(c));
            rgb[i * 3 + 1] = static_cast<std::uint8_t>(qGreen(c));
            rgb[i * 3 + 2] = static_cast<std::uint8_t>(qBlue(c));
            alpha[i] = entry < m_paletteAlpha.size() ? m_paletteAlpha[entry] : 255;
        }
        m_samples = std::move(rgb);
        m_palette.clear();
        m_paletteAlpha.clear();
        m_hasPaletteTrns = false;
        m_colorType = PngColorType::RgbAlpha;
    } else {
        if (m_hasTransparentColor) {
            const QRgb t = m_transparentColor & RGB_MASK;
            for (int y = 0; y < m_height; ++y) {
                for (int x = 0; x < m_width; ++x) {
                    if ((pixel(x, y) & RGB_MASK) == t) {
                        alpha[index(x, y)] = 0;
                    }
                }
            }
        }
        m_colorType = m_colorType == PngColorType::Grayscale ? PngColorType::GrayscaleAlpha
                                                             : PngColorType::RgbAlpha;
    }
    m_alpha = std::move(alpha);
    m_hasTransparentColor = false;
    m_transparentColor = 0;
}

bool TPNGObject::hasChunk(const char* kind) const
{
    if (kind == nullptr) {
        return false;
    }
    if (std::strcmp(kind, TChunkgAMA::kind) == 0) {
        return m_gamma != 0;
    }
    if (std::strcmp(kind, TChunkTRNS::kind) == 0) {
        return m_hasTransparentColor || m_hasPaletteTrns;
    }
    return false;
}

bool TPNGObject::removeChunk(const char* kind)
{
    if (!hasChunk(kind)) {
        return false;
    }
    if (std::strcmp(kind, TChunkgAMA::kind) == 0) {
        m_gamma = 0;
    } else {
        m_hasTransparentColor = false;
        m_transparentColor = 0;
        m_hasPaletteTrns = false;
        std::fill(m_paletteAlpha.begin(), m_paletteAlpha.end(), std::uint8_t{255});
    }
    return true;
}

QImage TPNGObject::toImage() const
{
    if (isEmpty()) {
        return QImage();
    }
    // The stored samples are encoded for the file gamma; a 2.2 display wants them raised to
    // 1 / (file gamma * 2.2). Alpha is linear and stays.
    std::array<std::uint8_t, 256> lut{};
    const double exponent = m_gamma != 0 ? 100000.0 / (double(m_gamma) * 2.2) : 1.0;
    for (int v = 0; v < 256; ++v) {
        const double corrected = 255.0 * std::pow(v / 255.0, exponent);
        lut[static_cast<std::size_t>(v)] =
            static_cast<std::uint8_t>(std::clamp(std::lround(corrected), 0L, 255L));
    }
    QImage out(m_width, m_height, QImage::Format_ARGB32);
    for (int y = 0; y < m_height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < m_width; ++x) {
            const QRgb c = pixel(x, y);
            const int a = pixelAlpha(x, y);
            line[x] = qRgba(lut[static_cast<std::size_t>(qRed(c))],
                            lut[static_cast<std::size_t>(qGreen(c))],
                            lut[static_cast<std::size_t>(qBlue(c))], a);
        }
    }
    return out;
}

void TPNGObject::draw(QPainter& painter, const QRect& rect) const
{
    if (isEmpty() || rect.isEmpty()) {
        return;
    }
    painter.drawImage(rect, toImage());
}
