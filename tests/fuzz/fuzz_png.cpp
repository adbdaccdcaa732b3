// PNG data through the decoder (against Qt's own reader where both read it) and the glyph
// drawing: painting with every option, fading, greying and adding alpha.
#include "FuzzCheck.h"
#include "PngSpeedButton/PngFunctions.h"
#include "common/QeltError.h"
#include "pngimage/PngImage.h"

#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>

namespace {

// Pixel by pixel comparisons stop at this many pixels, to keep each run short.
constexpr int MaxComparedPixels = 128 * 128;

std::uint32_t crc32Of(const char* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint8_t>(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The input with the CRC of every whole chunk made right, so that mutations reach the chunks'
// contents instead of stopping at their checksums.
QByteArray withChunkCrcs(const std::uint8_t* bytes, std::size_t size)
{
    QByteArray data(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size));
    std::size_t at = 8;
    while (at + 12 <= size) {
        const auto byteAt = [&](std::size_t i) { return static_cast<std::uint32_t>(bytes[i]); };
        const std::size_t length =
            (byteAt(at) << 24) | (byteAt(at + 1) << 16) | (byteAt(at + 2) << 8) | byteAt(at + 3);
        if (length > size - at - 12)
            break;
        const std::uint32_t crc = crc32Of(data.constData() + at + 4, length + 4);
        for (int i = 0; i < 4; ++i)
            data[static_cast<qsizetype>(at + 8 + length) + i] =
                static_cast<char>((crc >> (24 - 8 * i)) & 0xFF);
        at += length + 12;
    }
    return data;
}

bool imageDataWarned = false;
bool trnsOutOfRange = false;

void noteImageDataWarning(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (message.contains(QStringLiteral("IDAT")) || message.contains(QStringLiteral("palette")))
        imageDataWarned = true;
    if (message.contains(QStringLiteral("tRNS")) && message.contains(QStringLiteral("range")))
        trnsOutOfRange = true;
}

void checkAgainstQt(const TPNGObject& image, const QByteArray& data)
{
    // 16-bit files narrow differently in Qt (to 16-bit formats), and gamma is left aside.
    if (image.bitDepth() == 16 || image.gamma() != 0)
        return;
    // Pixels of damaged image data (a broken deflate stream, palette indices past the palette)
    // are the reader's own guess, which Qt reports: only sound data is compared.
    // A grey tRNS sample wider than the bit depth counts by its low bits; Qt's grey path drops it.
    imageDataWarned = trnsOutOfRange = false;
    const QtMessageHandler previous = qInstallMessageHandler(noteImageDataWarning);
    const QImage reference = QImage::fromData(data, "PNG");
    qInstallMessageHandler(previous);
    if (imageDataWarned || (trnsOutOfRange && image.colorType() == PngColorType::Grayscale))
        return;
    if (reference.isNull() || reference.size() != QSize(image.width(), image.height()))
        return;
    const QImage argb = reference.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb theirs = argb.pixel(x, y);
            FUZZ_CHECK(image.pixelAlpha(x, y) == qAlpha(theirs));
            if (qAlpha(theirs) == 255)
                FUZZ_CHECK((image.pixel(x, y) & RGB_MASK) == (theirs & RGB_MASK));
        }
    }
}

void checkPixels(const TPNGObject& image)
{
    const QImage shown = image.toImage();
    FUZZ_CHECK(shown.width() == image.width() && shown.height() == image.height());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            FUZZ_CHECK(qAlpha(shown.pixel(x, y)) == image.pixelAlpha(x, y));
    FUZZ_CHECK(image.pixelAlpha(-1, 0) == 0 && image.pixel(image.width(), 0) == 0);

    // With an alpha channel every pixel keeps its colour and opacity.
    TPNGObject withAlpha = image;
    withAlpha.addAlpha();
    FUZZ_CHECK(withAlpha.transparencyMode() == PngTransparency::PerPixelAlpha);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            FUZZ_CHECK(withAlpha.pixelAlpha(x, y) == image.pixelAlpha(x, y));
            FUZZ_CHECK(withAlpha.pixel(x, y) == image.pixel(x, y));
        }
    }
}

void checkEffects(const TPNGObject& image, int amount, bool compare)
{
    TPNGObject faded = image;
    FadeImage(faded, amount);
    TPNGObject grey = image;
    GrayImage(grey, 255);
    if (compare) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                FUZZ_CHECK(faded.pixelAlpha(x, y) <= image.pixelAlpha(x, y));
                const QRgb c = grey.pixel(x, y);
                FUZZ_CHECK(qRed(c) == qGreen(c) && qGreen(c) == qBlue(c));
            }
        }
    }
    TPNGObject greyed = image;
    GrayImage(greyed, amount);

    QImage canvas(48, 48, QImage::Format_ARGB32);
    canvas.fill(qRgba(10, 20, 30, 255));
    QPainter painter(&canvas);
    const QRect rect(1, 2, std::min(image.width(), 46), std::min(image.height(), 46));
    for (std::uint8_t bits = 0; bits < 4; ++bits)
        PaintPng(image, painter, rect, TPngOptions::fromByte(bits));
    image.draw(painter, rect);
    faded.draw(painter, QRect(0, 0, 48, 48));
    painter.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const QByteArray data = withChunkCrcs(bytes, size);
    TPNGObject image;
    try {
        image = TPNGObject::fromData(data);
    } catch (const qelt::QeltError&) {
        // Refused data leaves an image it is loaded into as it was.
        TPNGObject kept = TPNGObject::createBlank(PngColorType::Rgb, 1, 1);
        try {
            kept.loadFromData(data);
            FUZZ_CHECK(false);
        } catch (const qelt::QeltError&) {
        }
        FUZZ_CHECK(kept.width() == 1 && kept.height() == 1);
        return 0;
    }
    FUZZ_CHECK(!image.isEmpty());
    const bool compare = image.width() * image.height() <= MaxComparedPixels;
    if (compare) {
        checkAgainstQt(image, data);
        checkPixels(image);
    }
    checkEffects(image, size > 0 ? bytes[size / 2] : 0, compare);

    TPNGObject plain = image;
    plain.removeChunk<TChunkTRNS>();
    FUZZ_CHECK(!plain.hasChunk<TChunkTRNS>());
    FUZZ_CHECK(plain.transparencyMode() != PngTransparency::SingleColor);
    return 0;
}
