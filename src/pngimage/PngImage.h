#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>
#include <QtGui/qrgb.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class QImage;
class QPainter;

// The colour type of a PNG header; the values are the header's own.
enum class PngColorType : std::uint8_t
{
    Grayscale = 0,
    Rgb = 2,
    Palette = 3,
    GrayscaleAlpha = 4,
    RgbAlpha = 6,
};

// How an image marks its transparent pixels.
enum class PngTransparency
{
    None,          // every pixel is opaque
    SingleColor,   // one colour (from the tRNS chunk) is fully transparent
    PerPixelAlpha, // an alpha channel, or a palette with graded tRNS alpha
};

// The gamma chunk, as a kind for TPNGObject::removeChunk<TChunkgAMA>().
struct TChunkgAMA
{
    static constexpr const char* kind = "gAMA";
};

// The transparency chunk, as a kind for TPNGObject::removeChunk<TChunkTRNS>().
struct TChunkTRNS
{
    static constexpr const char* kind = "tRNS";
};

// A decoded PNG image, kept at 8 bits per sample in the colour type of its header. Images of
// 1, 2, 4 and 16 bits per sample are widened or narrowed on load; palette images keep one
// index byte per pixel. A value type: copies are deep.
//
//     TPNGObject glyph = TPNGObject::fromResource(QStringLiteral(":/icons/about.png"));
//     glyph.draw(painter, QRect(QPoint(53, 4), QSize(glyph.width(), glyph.height())));
//
// Loading throws qelt::QeltError with a readable message when the data is not a PNG image, is
// damaged or is cut short.
class TPNGObject
{
public:
    // An empty image: 0 x 0, no pixels.
    TPNGObject() = default;

    // A new image of the given type and size, every sample 0 (black; fully transparent where
    // there is alpha). A palette image gets a one-entry black palette.
    static TPNGObject createBlank(PngColorType colorType, int width, int height);

    // Decodes a complete PNG file held in memory.
    static TPNGObject fromData(const std::uint8_t* data, std::size_t size);
    static TPNGObject fromData(const QByteArray& data);
    // Reads and decodes a file; Qt resource paths (":/icons/about.png") work too.
    static TPNGObject fromFile(const QString& path);
    static TPNGObject fromResource(const QString& path) { return fromFile(path); }
    // A colour-type-6 image of the pixels of a QImage.
    static TPNGObject fromImage(const QImage& image);

    // Replaces this image by the one decoded from data; on failure the image is left unchanged.
    void loadFromData(const QByteArray& data);
    // Makes this image a copy of another.
    void assign(const TPNGObject& other) { *this = other; }

    bool isEmpty() const { return m_width == 0 || m_height == 0; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    PngColorType colorType() const { return m_colorType; }
    // Bits per sample of the file the image came from (8 for images made in memory).
    int bitDepth() const { return m_bitDepth; }

    PngTransparency transparencyMode() const;
    // The colour that is transparent in SingleColor mode (alpha bits set), else 0.
    QRgb transparentColor() const;

    // The colour of a pixel as 0xFFRRGGBB; grey images give R = G = B, palette images the colour
    // of the pixel's entry. Coordinates outside the image give 0.
    QRgb pixel(int x, int y) const;
    // Sets a pixel's colour (alpha ignored): grey images store its luma, palette images the
    // nearest entry. Coordinates outside the image are ignored.
    void setPixel(int x, int y, QRgb color);
    // The opacity of a pixel in any mode: its alpha sample, its palette entry's alpha, 0 for
    // the single transparent colour, else 255. Coordinates outside the image give 0.
    int pixelAlpha(int x, int y) const;

    // The 8-bit alpha values of row y (width() bytes), or nullptr when the image has no alpha
    // channel (colour types 0, 2 and 3) or y is out of range.
    std::uint8_t* alphaScanline(int y);
    const std::uint8_t* alphaScanline(int y) const;

    // Palette entries with their tRNS alpha; empty unless the colour type is Palette.
    QList<QRgb> palette() const;
    // Replaces the palette colours (at most 256; the alpha of each entry is left as it is).
    void setPalette(const QList<QRgb>& colors);

    // Gives an image without an alpha channel one: grey becomes grey with alpha, RGB and palette
    // become RGB with alpha. Transparent pixels of the tRNS chunk get alpha 0, the rest the
    // palette alpha or 255. The tRNS chunk is dropped. Images with alpha stay as they are.
    void addAlpha();

    // Whether an ancillary chunk of this kind ("gAMA", "tRNS") is present, and its removal.
    bool hasChunk(const char* kind) const;
    bool removeChunk(const char* kind);
    template <class Chunk> bool removeChunk() { return removeChunk(Chunk::kind); }
    template <class Chunk> bool hasChunk() const { return hasChunk(Chunk::kind); }

    // The file gamma of the gAMA chunk times 100000, or 0 without one.
    std::uint32_t gamma() const { return m_gamma; }

    // The image as non-premultiplied ARGB32, gamma-corrected for a display gamma of 2.2 when
    // a gAMA chunk is present. A null QImage for an empty image.
    QImage toImage() const;
    // Draws the image into rect, blended by its alpha over what the painter already holds.
    void draw(QPainter& painter, const QRect& rect) const;

private:
    friend struct PngDecoder;

    int channels() const;
    std::size_t index(int x, int y) const
    {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(m_width) +
               static_cast<std::size_t>(x);
    }

    int m_width = 0;
    int m_height = 0;
    PngColorType m_colorType = PngColorType::RgbAlpha;
    int m_bitDepth = 8;
    // Colour samples, one byte each: 1 per pixel for grey and palette, 3 for RGB.
    std::vector<std::uint8_t> m_samples;
    // One alpha byte per pixel for colour types 4 and 6, else empty.
    std::vector<std::uint8_t> m_alpha;
    // Palette colours (0xFFRRGGBB) and their tRNS alpha, one per entry.
    std::vector<QRgb> m_palette;
    std::vector<std::uint8_t> m_paletteAlpha;
    // tRNS of grey and RGB images: the transparent colour, 8 bits per sample.
    bool m_hasTransparentColor = false;
    QRgb m_transparentColor = 0;
    bool m_hasPaletteTrns = false;
    std::uint32_t m_gamma = 0;
};
