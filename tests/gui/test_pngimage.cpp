#include "PngSpeedButton/PngSpeedButton.h"
#include "common/QeltError.h"
#include "gui/test_pngwriter.h"
#include "pngimage/PngImage.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTest>

#include <cmath>

#include <zlib.h>

using pngtest::encodePng;
using pngtest::PngRecipe;

namespace {

// The expectation for one pixel: its colour and opacity.
struct Px
{
    QRgb color;
    int alpha;
};

PngRecipe recipe(int width, int height, int colorType, int bitDepth,
                 std::vector<std::uint16_t> samples)
{
    PngRecipe s;
    s.width = width;
    s.height = height;
    s.colorType = colorType;
    s.bitDepth = bitDepth;
    s.samples = std::move(samples);
    return s;
}

QByteArray validFile()
{
    PngRecipe s =
        recipe(3, 2, PNG_COLOR_TYPE_RGB_ALPHA, 8, {255, 0, 0, 255, 0, 255, 0, 128, 0, 0,  255, 0,
                                                   1,   2, 3, 4,   5, 6,   7, 8,   9, 10, 11,  12});
    s.gamma = 0.45455;
    return encodePng(s);
}

QString messageOf(const QByteArray& data)
{
    try {
        TPNGObject::fromData(data);
    } catch (const qelt::QeltError& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class TestPngImage : public QObject
{
    Q_OBJECT

private slots:
    void decodesEveryDepthAndType_data();
    void decodesEveryDepthAndType();
    void paletteTransparency_data();
    void paletteTransparency();
    void greyTransparentColourFollowsTheWidenedSamples();
    void sixteenBitTransparentColourIsMatchedExactly();
    void transparentColourWiderThanTheDepthCountsByItsLowBits();
    void gammaCorrectsOnlyWhenDrawn();
    void refusesDamagedData_data();
    void refusesDamagedData();
    void everyCutOfAFileFailsCleanly();
    void addAlphaKeepsWhatWasTransparent_data();
    void addAlphaKeepsWhatWasTransparent();
    void pixelWritesAndDeepCopies();
    void drawBlendsByAlpha();
    void glyphResourcesLoad_data();
    void glyphResourcesLoad();
};

void TestPngImage::decodesEveryDepthAndType_data()
{
    QTest::addColumn<PngRecipe>("file");
    QTest::addColumn<int>("colorType");
    QTest::addColumn<QList<Px>>("pixels"); // the first row, left to right

    const int g = PNG_COLOR_TYPE_GRAY;
    QTest::newRow("grey 1 bit") << recipe(3, 1, g, 1, {0, 1, 0}) << 0
                                << QList<Px>{{qRgb(0, 0, 0), 255},
                                             {qRgb(255, 255, 255), 255},
                                             {qRgb(0, 0, 0), 255}};
    QTest::newRow("grey 2 bits") << recipe(4, 1, g, 2, {0, 1, 2, 3}) << 0
                                 << QList<Px>{{qRgb(0, 0, 0), 255},
                                              {qRgb(85, 85, 85), 255},
                                              {qRgb(170, 170, 170), 255},
                                              {qRgb(255, 255, 255), 255}};
    QTest::newRow("grey 4 bits") << recipe(3, 1, g, 4, {0, 5, 15}) << 0
                                 << QList<Px>{{qRgb(0, 0, 0), 255},
                                              {qRgb(85, 85, 85), 255},
                                              {qRgb(255, 255, 255), 255}};
    QTest::newRow("grey 8 bits") << recipe(2, 1, g, 8, {7, 200}) << 0
                                 << QList<Px>{{qRgb(7, 7, 7), 255}, {qRgb(200, 200, 200), 255}};
    QTest::newRow("grey 16 bits") << recipe(3, 1, g, 16, {0, 0x8080, 0xFFFF}) << 0
                                  << QList<Px>{{qRgb(0, 0, 0), 255},
                                               {qRgb(128, 128, 128), 255},
                                               {qRgb(255, 255, 255), 255}};
    QTest::newRow("rgb 8 bits") << recipe(2, 1, PNG_COLOR_TYPE_RGB, 8, {1, 2, 3, 250, 251, 252})
                                << 2 << QList<Px>{{qRgb(1, 2, 3), 255}, {qRgb(250, 251, 252), 255}};
    QTest::newRow("rgb 16 bits") << recipe(1, 1, PNG_COLOR_TYPE_RGB, 16, {0xFFFF, 0x0101, 0x2020})
                                 << 2 << QList<Px>{{qRgb(255, 1, 32), 255}};
    QTest::newRow("grey+alpha 8 bits")
        << recipe(2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, {10, 0, 20, 128}) << 4
        << QList<Px>{{qRgb(10, 10, 10), 0}, {qRgb(20, 20, 20), 128}};
    QTest::newRow("grey+alpha 16 bits")
        << recipe(1, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 16, {0x4040, 0xFFFF}) << 4
        << QList<Px>{{qRgb(64, 64, 64), 255}};
    QTest::newRow("rgba 8 bits") << recipe(1, 1, PNG_COLOR_TYPE_RGB_ALPHA, 8, {9, 8, 7, 6}) << 6
                                 << QList<Px>{{qRgb(9, 8, 7), 6}};
    QTest::newRow("rgba 16 bits") << recipe(1, 1, PNG_COLOR_TYPE_RGB_ALPHA, 16,
                                            {0xFFFF, 0, 0x8080, 0x0303})
                                  << 6 << QList<Px>{{qRgb(255, 0, 128), 3}};

    const std::vector<png_color> colours{{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    for (int depth : {1, 2, 4, 8}) {
        PngRecipe p = recipe(2, 1, PNG_COLOR_TYPE_PALETTE, depth, {0, 1});
        p.palette = colours;
        if (depth == 1) {
            p.palette.resize(2);
        }
        QTest::addRow("palette %d bits", depth)
            << p << 3 << QList<Px>{{qRgb(0, 0, 0), 255}, {qRgb(255, 0, 0), 255}};
    }
    {
        PngRecipe p = recipe(4, 1, PNG_COLOR_TYPE_PALETTE, 2, {3, 2, 1, 0});
        p.palette = colours;
        QTest::newRow("palette 2 bits, all indices") << p << 3
                                                     << QList<Px>{{qRgb(0, 0, 255), 255},
                                                                  {qRgb(0, 255, 0), 255},
                                                                  {qRgb(255, 0, 0), 255},
                                                                  {qRgb(0, 0, 0), 255}};
    }
    {
        std::vector<std::uint16_t> samples;
        for (int i = 0; i < 9 * 9; ++i) {
            samples.insert(samples.end(), {std::uint16_t(i), std::uint16_t(2 * i), 7});
        }
        PngRecipe p = recipe(9, 9, PNG_COLOR_TYPE_RGB, 8, samples);
        p.interlaced = true;
        QList<Px> first;
        for (int x = 0; x < 9; ++x) {
            first.append({qRgb(x, 2 * x, 7), 255});
        }
        QTest::newRow("rgb interlaced") << p << 2 << first;
    }
}

void TestPngImage::decodesEveryDepthAndType()
{
    QFETCH(PngRecipe, file);
    QFETCH(int, colorType);
    QFETCH(QList<Px>, pixels);

    const QByteArray data = encodePng(file);
    QVERIFY(!data.isEmpty());
    const TPNGObject image = TPNGObject::fromData(data);
    QCOMPARE(image.width(), file.width);
    QCOMPARE(image.height(), file.height);
    QCOMPARE(image.bitDepth(), file.bitDepth);
    QCOMPARE(static_cast<int>(image.colorType()), colorType);
    const bool withAlpha = colorType == 4 || colorType == 6;
    QCOMPARE(image.alphaScanline(0) != nullptr, withAlpha);
    QCOMPARE(image.transparencyMode(),
             withAlpha ? PngTransparency::PerPixelAlpha : PngTransparency::None);
    for (int x = 0; x < pixels.size(); ++x) {
        QCOMPARE(image.pixel(x, 0), pixels[x].color);
        QCOMPARE(image.pixelAlpha(x, 0), pixels[x].alpha);
        if (withAlpha) {
            QCOMPARE(int(image.alphaScanline(0)[x]), pixels[x].alpha);
        }
    }
    if (file.interlaced) {
        // The last row comes from the last Adam7 pass.
        QCOMPARE(image.pixel(8, 8), qRgb(80, 160, 7));
    }
}

void TestPngImage::paletteTransparency_data()
{
    QTest::addColumn<std::vector<png_byte>>("trns");
    QTest::addColumn<PngTransparency>("mode");
    QTest::addColumn<QRgb>("transparent");
    QTest::addColumn<QList<int>>("alphas"); // of pixels with index 0, 1, 2

    QTest::newRow("no tRNS") << std::vector<png_byte>{} << PngTransparency::None << QRgb(0)
                             << QList<int>{255, 255, 255};
    QTest::newRow("one clear entry")
        << std::vector<png_byte>{255, 0} << PngTransparency::SingleColor << qRgb(10, 20, 30)
        << QList<int>{255, 0, 255};
    QTest::newRow("graded entries")
        << std::vector<png_byte>{100, 0} << PngTransparency::PerPixelAlpha << QRgb(0)
        << QList<int>{100, 0, 255};
    QTest::newRow("two clear entries")
        << std::vector<png_byte>{0, 0} << PngTransparency::PerPixelAlpha << QRgb(0)
        << QList<int>{0, 0, 255};
}

void TestPngImage::paletteTransparency()
{
    QFETCH(std::vector<png_byte>, trns);
    QFETCH(PngTransparency, mode);
    QFETCH(QRgb, transparent);
    QFETCH(QList<int>, alphas);

    PngRecipe p = recipe(3, 1, PNG_COLOR_TYPE_PALETTE, 8, {0, 1, 2});
    p.palette = {{1, 2, 3}, {10, 20, 30}, {40, 50, 60}};
    p.paletteAlpha = trns;
    const TPNGObject image = TPNGObject::fromData(encodePng(p));
    QCOMPARE(image.transparencyMode(), mode);
    QCOMPARE(image.transparentColor() & RGB_MASK, transparent & RGB_MASK);
    QCOMPARE(image.hasChunk<TChunkTRNS>(), !trns.empty());
    const QList<QRgb> entries = image.palette();
    QCOMPARE(entries.size(), 3);
    for (int x = 0; x < 3; ++x) {
        QCOMPARE(image.pixelAlpha(x, 0), alphas[x]);
        QCOMPARE(qAlpha(entries[x]), alphas[x]);
    }
    QCOMPARE(entries[2] & RGB_MASK, qRgb(40, 50, 60) & RGB_MASK);
}

void TestPngImage::greyTransparentColourFollowsTheWidenedSamples()
{
    PngRecipe p = recipe(4, 1, PNG_COLOR_TYPE_GRAY, 2, {0, 1, 2, 3});
    p.hasTransColor = true;
    p.transColor.gray = 2;
    const TPNGObject image = TPNGObject::fromData(encodePng(p));
    QCOMPARE(image.colorType(), PngColorType::Grayscale);
    QCOMPARE(image.transparencyMode(), PngTransparency::SingleColor);
    QCOMPARE(image.transparentColor() & RGB_MASK, qRgb(170, 170, 170) & RGB_MASK);
    QCOMPARE(image.pixelAlpha(1, 0), 255);
    QCOMPARE(image.pixelAlpha(2, 0), 0);
    QCOMPARE(qAlpha(image.toImage().pixel(2, 0)), 0);
    QCOMPARE(qAlpha(image.toImage().pixel(3, 0)), 255);
}

void TestPngImage::sixteenBitTransparentColourIsMatchedExactly()
{
    // Both pixels narrow to the same 8-bit colour; only the first is the transparent one.
    PngRecipe p = recipe(2, 1, PNG_COLOR_TYPE_RGB, 16, {0x1234, 0, 0xFFFF, 0x1235, 0, 0xFFFF});
    p.hasTransColor = true;
    p.transColor.red = 0x1234;
    p.transColor.green = 0;
    p.transColor.blue = 0xFFFF;
    const TPNGObject image = TPNGObject::fromData(encodePng(p));
    QCOMPARE(image.pixel(0, 0), image.pixel(1, 0));
    QCOMPARE(image.pixelAlpha(0, 0), 0);
    QCOMPARE(image.pixelAlpha(1, 0), 255);
}

void TestPngImage::transparentColourWiderThanTheDepthCountsByItsLowBits()
{
    // The writer refuses such a chunk, so an in-range one is written and its samples replaced.
    const auto withTrns = [](PngRecipe p, std::vector<std::uint16_t> samples) {
        p.hasTransColor = true;
        QByteArray bytes = encodePng(p);
        const qsizetype type = bytes.indexOf("tRNS");
        for (std::size_t i = 0; i < samples.size(); ++i) {
            bytes[type + 4 + qsizetype(2 * i)] = static_cast<char>(samples[i] >> 8);
            bytes[type + 5 + qsizetype(2 * i)] = static_cast<char>(samples[i] & 0xFF);
        }
        const qsizetype end = type + 4 + qsizetype(2 * samples.size());
        const uLong crc =
            crc32(0, reinterpret_cast<const Bytef*>(bytes.constData() + type), uInt(end - type));
        for (int i = 0; i < 4; ++i)
            bytes[end + i] = static_cast<char>((crc >> (24 - 8 * i)) & 0xFF);
        return bytes;
    };
    const int g = PNG_COLOR_TYPE_GRAY;
    const int rgb = PNG_COLOR_TYPE_RGB;
    const PngRecipe greyWhiteBlack = recipe(2, 1, g, 8, {255, 0});
    const PngRecipe rgbWhiteBlack = recipe(2, 1, rgb, 8, {255, 255, 255, 0, 0, 0});
    // Each file with the opacity of its pixels: the white pixel stays opaque unless the low bits
    // name white. Qt's reader agrees for RGB; for grey it ignores such a chunk altogether.
    const QList<QPair<QByteArray, QList<int>>> cases{
        {withTrns(greyWhiteBlack, {0x100}), {255, 0}},
        {withTrns(greyWhiteBlack, {0xFFFF}), {0, 255}},
        {withTrns(recipe(3, 1, g, 2, {3, 0, 1}), {4}), {255, 0, 255}},
        {withTrns(recipe(2, 1, g, 1, {1, 0}), {2}), {255, 0}},
        {withTrns(rgbWhiteBlack, {255, 255, 0x100}), {255, 255}},
        {withTrns(rgbWhiteBlack, {0x3E7, 0x3E7, 0x3E7}), {255, 255}},
        {withTrns(rgbWhiteBlack, {0x100, 0x100, 0x100}), {255, 0}},
    };
    for (const auto& [file, alphas] : cases) {
        const TPNGObject image = TPNGObject::fromData(file);
        const QImage reference = QImage::fromData(file, "PNG");
        QVERIFY(!reference.isNull());
        QCOMPARE(image.transparencyMode(), PngTransparency::SingleColor);
        for (int x = 0; x < image.width(); ++x) {
            QCOMPARE(image.pixelAlpha(x, 0), alphas[x]);
            QCOMPARE(qAlpha(image.toImage().pixel(x, 0)), alphas[x]);
            if (image.colorType() == PngColorType::Rgb)
                QCOMPARE(qAlpha(reference.pixel(x, 0)), alphas[x]);
        }
    }
}

void TestPngImage::gammaCorrectsOnlyWhenDrawn()
{
    // A linear file (gamma 1.0) on a 2.2 display: 128 shows as 255 * (128/255)^(1/2.2).
    PngRecipe p = recipe(2, 1, PNG_COLOR_TYPE_RGB, 8, {128, 0, 255, 64, 64, 64});
    p.gamma = 1.0;
    TPNGObject image = TPNGObject::fromData(encodePng(p));
    QVERIFY(image.hasChunk<TChunkgAMA>());
    QCOMPARE(image.gamma(), 100000u);
    QCOMPARE(image.pixel(0, 0), qRgb(128, 0, 255));
    const int shown = static_cast<int>(std::lround(255.0 * std::pow(128 / 255.0, 1 / 2.2)));
    QCOMPARE(image.toImage().pixel(0, 0), qRgb(shown, 0, 255));

    // The usual sRGB-like gamma leaves the samples as they are.
    p.gamma = 1 / 2.2;
    QCOMPARE(TPNGObject::fromData(encodePng(p)).toImage().pixel(1, 0), qRgb(64, 64, 64));

    QVERIFY(image.removeChunk<TChunkgAMA>());
    QVERIFY(!image.hasChunk<TChunkgAMA>());
    QVERIFY(!image.removeChunk<TChunkgAMA>());
    QCOMPARE(image.toImage().pixel(0, 0), qRgb(128, 0, 255));

    p.gamma = 0;
    QVERIFY(!TPNGObject::fromData(encodePng(p)).hasChunk<TChunkgAMA>());
}

void TestPngImage::refusesDamagedData_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("message");

    const QByteArray good = validFile();
    QTest::newRow("empty") << QByteArray() << QStringLiteral("Not a PNG image");
    QTest::newRow("text") << QByteArray("GIF89a, not a PNG at all")
                          << QStringLiteral("Not a PNG image");
    QTest::newRow("signature only") << good.left(8) << QStringLiteral("The PNG image is cut short");
    QTest::newRow("cut in the image data")
        << good.left(good.size() - 20) << QStringLiteral("The PNG image is cut short");

    QByteArray badHeaderCrc = good;
    badHeaderCrc[29] = static_cast<char>(badHeaderCrc[29] ^ 0x55); // a byte of the IHDR CRC
    QTest::newRow("IHDR CRC") << badHeaderCrc << QStringLiteral("The PNG image is damaged: ");

    QByteArray badWidth = good;
    badWidth[16] = static_cast<char>(0x80); // width >= 2^31, under a CRC that fits it
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(badWidth.constData() + 12), 17);
    for (int i = 0; i < 4; ++i) {
        badWidth[29 + i] = static_cast<char>((crc >> (24 - 8 * i)) & 0xFF);
    }
    QTest::newRow("huge width") << badWidth << QStringLiteral("The PNG image is damaged: ");

    QByteArray badData = good;
    const qsizetype idat = badData.indexOf("IDAT");
    for (qsizetype i = idat + 6; i < idat + 14 && i < badData.size(); ++i) {
        badData[i] = static_cast<char>(0xFF);
    }
    QTest::newRow("IDAT bytes") << badData << QStringLiteral("The PNG image is damaged: ");
}

void TestPngImage::refusesDamagedData()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    TPNGObject image = TPNGObject::fromData(validFile());
    QVERIFY_THROWS_EXCEPTION(qelt::QeltError, image.loadFromData(data));
    QVERIFY2(messageOf(data).startsWith(message), qPrintable(messageOf(data)));
    // A failed load leaves the image it was meant to replace.
    QCOMPARE(image.width(), 3);
    QCOMPARE(image.pixel(0, 0), qRgb(255, 0, 0));
}

void TestPngImage::everyCutOfAFileFailsCleanly()
{
    const QByteArray good = validFile();
    QCOMPARE(TPNGObject::fromData(good).height(), 2);
    for (qsizetype n = 0; n < good.size(); ++n) {
        const QString message = messageOf(good.left(n));
        QVERIFY2(message == QStringLiteral("Not a PNG image") ||
                     message == QStringLiteral("The PNG image is cut short"),
                 qPrintable(QStringLiteral("%1 bytes: %2").arg(n).arg(message)));
    }
}

void TestPngImage::addAlphaKeepsWhatWasTransparent_data()
{
    QTest::addColumn<PngRecipe>("file");
    QTest::addColumn<int>("colorType");
    QTest::addColumn<QList<Px>>("pixels");

    PngRecipe rgb = recipe(2, 1, PNG_COLOR_TYPE_RGB, 8, {1, 2, 3, 4, 5, 6});
    rgb.hasTransColor = true;
    rgb.transColor.red = 4;
    rgb.transColor.green = 5;
    rgb.transColor.blue = 6;
    QTest::newRow("rgb with tRNS")
        << rgb << 6 << QList<Px>{{qRgb(1, 2, 3), 255}, {qRgb(4, 5, 6), 0}};
    QTest::newRow("grey") << recipe(2, 1, PNG_COLOR_TYPE_GRAY, 8, {9, 99}) << 4
                          << QList<Px>{{qRgb(9, 9, 9), 255}, {qRgb(99, 99, 99), 255}};
    PngRecipe pal = recipe(2, 1, PNG_COLOR_TYPE_PALETTE, 4, {1, 0});
    pal.palette = {{7, 7, 7}, {200, 100, 50}};
    pal.paletteAlpha = {60};
    QTest::newRow("graded palette")
        << pal << 6 << QList<Px>{{qRgb(200, 100, 50), 255}, {qRgb(7, 7, 7), 60}};
}

void TestPngImage::addAlphaKeepsWhatWasTransparent()
{
    QFETCH(PngRecipe, file);
    QFETCH(int, colorType);
    QFETCH(QList<Px>, pixels);

    TPNGObject image = TPNGObject::fromData(encodePng(file));
    image.addAlpha();
    QCOMPARE(static_cast<int>(image.colorType()), colorType);
    QCOMPARE(image.transparencyMode(), PngTransparency::PerPixelAlpha);
    QVERIFY(!image.hasChunk<TChunkTRNS>());
    QVERIFY(image.palette().isEmpty());
    for (int x = 0; x < pixels.size(); ++x) {
        QCOMPARE(image.pixel(x, 0), pixels[x].color);
        QCOMPARE(int(image.alphaScanline(0)[x]), pixels[x].alpha);
    }
}

void TestPngImage::pixelWritesAndDeepCopies()
{
    TPNGObject rgba = TPNGObject::createBlank(PngColorType::RgbAlpha, 2, 2);
    QCOMPARE(rgba.pixelAlpha(1, 1), 0);
    rgba.setPixel(1, 1, qRgba(10, 20, 30, 0));
    rgba.alphaScanline(1)[1] = 77;
    QCOMPARE(rgba.pixel(1, 1), qRgb(10, 20, 30));
    QCOMPARE(rgba.pixelAlpha(1, 1), 77);
    QCOMPARE(rgba.pixel(2, 0), QRgb(0)); // outside
    rgba.setPixel(-1, 0, qRgb(1, 1, 1)); // ignored, no crash

    TPNGObject copy;
    QVERIFY(copy.isEmpty());
    copy.assign(rgba);
    copy.setPixel(1, 1, qRgb(255, 255, 255));
    copy.alphaScanline(1)[1] = 1;
    QCOMPARE(rgba.pixel(1, 1), qRgb(10, 20, 30));
    QCOMPARE(rgba.pixelAlpha(1, 1), 77);

    TPNGObject grey = TPNGObject::createBlank(PngColorType::Grayscale, 1, 1);
    grey.setPixel(0, 0, qRgb(255, 0, 0));
    QCOMPARE(grey.pixel(0, 0), qRgb(qGray(255, 0, 0), qGray(255, 0, 0), qGray(255, 0, 0)));

    PngRecipe p = recipe(1, 1, PNG_COLOR_TYPE_PALETTE, 8, {0});
    p.palette = {{0, 0, 0}, {250, 10, 10}, {10, 250, 10}};
    TPNGObject indexed = TPNGObject::fromData(encodePng(p));
    indexed.setPixel(0, 0, qRgb(200, 60, 0)); // nearest entry: the red one
    QCOMPARE(indexed.pixel(0, 0), qRgb(250, 10, 10));
    indexed.setPalette({qRgb(1, 1, 1), qRgb(2, 2, 2), qRgb(3, 3, 3)});
    QCOMPARE(indexed.pixel(0, 0), qRgb(2, 2, 2));
}

void TestPngImage::drawBlendsByAlpha()
{
    TPNGObject image = TPNGObject::createBlank(PngColorType::RgbAlpha, 2, 1);
    image.setPixel(0, 0, qRgb(255, 0, 0));
    image.setPixel(1, 0, qRgb(255, 0, 0));
    image.alphaScanline(0)[0] = 255;
    image.alphaScanline(0)[1] = 100;

    QImage canvas(4, 3, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        image.draw(painter, QRect(1, 1, 2, 1));
    }
    QCOMPARE(canvas.pixel(0, 1), qRgb(255, 255, 255));
    QCOMPARE(canvas.pixel(1, 1), qRgb(255, 0, 0));
    QVERIFY(std::abs(qGreen(canvas.pixel(2, 1)) - (255 - 100)) <= 1);
    QCOMPARE(canvas.pixel(1, 0), qRgb(255, 255, 255));
}

void TestPngImage::glyphResourcesLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    for (const char* name :
         {"open_log_folder", "delete_log_file", "delete_record", "filter_manager", "about"}) {
        QTest::newRow(name) << QString::fromLatin1(name) << QSize(24, 24);
    }
    QTest::newRow("add_group") << QStringLiteral("add_group") << QSize(21, 20);
    QTest::newRow("delete_group") << QStringLiteral("delete_group") << QSize(21, 20);
    QTest::newRow("add_filter") << QStringLiteral("add_filter") << QSize(22, 20);
    QTest::newRow("delete_filter") << QStringLiteral("delete_filter") << QSize(22, 20);
}

void TestPngImage::glyphResourcesLoad()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    TPngSpeedButton::initResources();
    const QString path = QStringLiteral(":/icons/%1.png").arg(name);
    const TPNGObject glyph = TPNGObject::fromResource(path);
    QCOMPARE(QSize(glyph.width(), glyph.height()), size);
    QCOMPARE(glyph.colorType(), PngColorType::RgbAlpha);
    // Our pixels agree with Qt's own reader of the same file.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QImage reference =
        QImage::fromData(file.readAll(), "PNG").convertToFormat(QImage::Format_ARGB32);
    int visible = 0;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const QRgb expected = reference.pixel(x, y);
            QCOMPARE(glyph.pixelAlpha(x, y), qAlpha(expected));
            if (qAlpha(expected) > 0) {
                QCOMPARE(glyph.pixel(x, y), expected | 0xFF000000u);
                ++visible;
            }
        }
    }
    QVERIFY(visible > 0);
}

QTEST_MAIN(TestPngImage)
#include "test_pngimage.moc"
