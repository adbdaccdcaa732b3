#include "PngSpeedButton/PngFunctions.h"
#include "gui/test_pngwriter.h"
#include "pngimage/PngImage.h"

#include <QImage>
#include <QPainter>
#include <QTest>

#include <cstdlib>

using pngtest::encodePng;
using pngtest::PngRecipe;

namespace {

TPNGObject rgbaRow(const QList<int>& alphas, QRgb color)
{
    TPNGObject image = TPNGObject::createBlank(PngColorType::RgbAlpha, int(alphas.size()), 1);
    for (int x = 0; x < alphas.size(); ++x) {
        image.setPixel(x, 0, color);
        image.alphaScanline(0)[x] = static_cast<std::uint8_t>(alphas[x]);
    }
    return image;
}

TPNGObject decoded(PngRecipe recipe)
{
    return TPNGObject::fromData(encodePng(recipe));
}

PngRecipe paletteRecipe()
{
    PngRecipe p;
    p.width = 3;
    p.height = 1;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    p.bitDepth = 8;
    p.samples = {0, 1, 2};
    p.palette = {{255, 0, 0}, {0, 0, 255}, {200, 100, 40}};
    return p;
}

bool near(int actual, int expected)
{
    return std::abs(actual - expected) <= 1;
}

} // namespace

class TestPngFunctions : public QObject
{
    Q_OBJECT

private slots:
    void grayPixel_data();
    void grayPixel();
    void fadeScalesAlpha_data();
    void fadeScalesAlpha();
    void fadeGivesRgbAnAlphaChannel();
    void fadeReplacesGreyAndPaletteImages_data();
    void fadeReplacesGreyAndPaletteImages();
    void grayImageByColourType();
    void paintPngAppliesTheOptions_data();
    void paintPngAppliesTheOptions();
    void optionSetIsOneByte();
};

void TestPngFunctions::grayPixel_data()
{
    QTest::addColumn<QList<int>>("rgb");
    QTest::addColumn<int>("amount");
    QTest::addColumn<QList<int>>("expected");

    // 0.30 * 255 = 76.5 goes to the even 76.
    QTest::newRow("red") << QList<int>{255, 0, 0} << 255 << QList<int>{76, 76, 76};
    QTest::newRow("green") << QList<int>{0, 255, 0} << 255 << QList<int>{150, 150, 150};
    QTest::newRow("blue") << QList<int>{0, 0, 255} << 255 << QList<int>{28, 28, 28};
    QTest::newRow("white") << QList<int>{255, 255, 255} << 255 << QList<int>{255, 255, 255};
    QTest::newRow("black") << QList<int>{0, 0, 0} << 255 << QList<int>{0, 0, 0};
    // X = round(123.4) = 123; its half 61.5 goes to the even 62.
    QTest::newRow("half way") << QList<int>{200, 100, 40} << 127 << QList<int>{162, 112, 82};
    // 254.0039 + round(76 / 256) = 254: amount 0 is not quite the identity.
    QTest::newRow("amount 0") << QList<int>{255, 0, 0} << 0 << QList<int>{254, 0, 0};
    // 128 + 128 would wrap round to black in 8 bits.
    QTest::newRow("white at 127") << QList<int>{255, 255, 255} << 127 << QList<int>{255, 255, 255};
}

void TestPngFunctions::grayPixel()
{
    QFETCH(QList<int>, rgb);
    QFETCH(int, amount);
    QFETCH(QList<int>, expected);
    auto r = static_cast<std::uint8_t>(rgb[0]);
    auto g = static_cast<std::uint8_t>(rgb[1]);
    auto b = static_cast<std::uint8_t>(rgb[2]);
    GrayPixel(r, g, b, amount);
    QCOMPARE((QList<int>{r, g, b}), expected);
}

void TestPngFunctions::fadeScalesAlpha_data()
{
    QTest::addColumn<int>("amount");
    QTest::addColumn<QList<int>>("alphas");
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("127") << 127 << QList<int>{0, 1, 2, 3, 254, 255}
                         << QList<int>{0, 0, 1, 2, 127, 128};
    QTest::newRow("255 keeps") << 255 << QList<int>{0, 1, 128, 255} << QList<int>{0, 1, 128, 255};
    // 100 / 256 * 64 = 25 exactly; 3 / 4 rounds up, 2 / 4 is a tie that goes down to 0.
    QTest::newRow("63") << 63 << QList<int>{100, 3, 2, 6} << QList<int>{25, 1, 0, 2};
    QTest::newRow("0") << 0 << QList<int>{255, 128, 127} << QList<int>{1, 0, 0};
}

void TestPngFunctions::fadeScalesAlpha()
{
    QFETCH(int, amount);
    QFETCH(QList<int>, alphas);
    QFETCH(QList<int>, expected);

    TPNGObject image = rgbaRow(alphas, qRgb(10, 20, 30));
    FadeImage(image, amount);
    QCOMPARE(image.colorType(), PngColorType::RgbAlpha);
    for (int x = 0; x < alphas.size(); ++x) {
        QCOMPARE(int(image.alphaScanline(0)[x]), expected[x]);
        QCOMPARE(image.pixel(x, 0), qRgb(10, 20, 30));
    }

    PngRecipe grey;
    grey.width = int(alphas.size());
    grey.height = 1;
    grey.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
    for (int a : alphas) {
        grey.samples.insert(grey.samples.end(), {50, std::uint16_t(a)});
    }
    TPNGObject greyImage = decoded(grey);
    FadeImage(greyImage, amount);
    QCOMPARE(greyImage.colorType(), PngColorType::GrayscaleAlpha);
    for (int x = 0; x < alphas.size(); ++x) {
        QCOMPARE(greyImage.pixelAlpha(x, 0), expected[x]);
    }
}

void TestPngFunctions::fadeGivesRgbAnAlphaChannel()
{
    PngRecipe rgb;
    rgb.width = 2;
    rgb.height = 1;
    rgb.colorType = PNG_COLOR_TYPE_RGB;
    rgb.samples = {1, 2, 3, 4, 5, 6};
    TPNGObject opaque = decoded(rgb);
    FadeImage(opaque, 127);
    QCOMPARE(opaque.colorType(), PngColorType::RgbAlpha);
    QCOMPARE(opaque.pixelAlpha(0, 0), 128);
    QCOMPARE(opaque.pixel(1, 0), qRgb(4, 5, 6));

    rgb.hasTransColor = true;
    rgb.transColor.red = 4;
    rgb.transColor.green = 5;
    rgb.transColor.blue = 6;
    TPNGObject keyed = decoded(rgb);
    FadeImage(keyed, 127);
    QCOMPARE(keyed.pixelAlpha(0, 0), 128);
    QCOMPARE(keyed.pixelAlpha(1, 0), 0);
}

void TestPngFunctions::fadeReplacesGreyAndPaletteImages_data()
{
    QTest::addColumn<PngRecipe>("file");
    QTest::addColumn<QList<int>>("expected");

    PngRecipe grey;
    grey.width = 3;
    grey.height = 1;
    grey.colorType = PNG_COLOR_TYPE_GRAY;
    grey.samples = {0, 90, 255};
    QTest::newRow("grey") << grey << QList<int>{127, 127, 127};
    grey.hasTransColor = true;
    grey.transColor.gray = 90;
    QTest::newRow("grey, one transparent") << grey << QList<int>{127, 0, 127};

    PngRecipe palette = paletteRecipe();
    QTest::newRow("palette") << palette << QList<int>{127, 127, 127};
    palette.paletteAlpha = {255, 0};
    QTest::newRow("palette, one transparent") << palette << QList<int>{127, 0, 127};
    // Graded entries stay graded: invisible stays invisible, 100 scales to 50.
    palette.paletteAlpha = {0, 100};
    QTest::newRow("palette, graded") << palette << QList<int>{0, 50, 127};
}

void TestPngFunctions::fadeReplacesGreyAndPaletteImages()
{
    QFETCH(PngRecipe, file);
    QFETCH(QList<int>, expected);

    TPNGObject image = decoded(file);
    const TPNGObject before = image;
    FadeImage(image, 127);
    QCOMPARE(image.colorType(), PngColorType::RgbAlpha);
    QCOMPARE(image.width(), before.width());
    QCOMPARE(image.height(), before.height());
    QVERIFY(!image.hasChunk<TChunkTRNS>());
    for (int x = 0; x < expected.size(); ++x) {
        QCOMPARE(image.pixel(x, 0), before.pixel(x, 0));
        QCOMPARE(image.pixelAlpha(x, 0), expected[x]);
    }
}

void TestPngFunctions::grayImageByColourType()
{
    PngRecipe palette = paletteRecipe();
    palette.paletteAlpha = {40};
    TPNGObject indexed = decoded(palette);
    GrayImage(indexed, 255);
    QCOMPARE(indexed.colorType(), PngColorType::Palette);
    const QList<QRgb> entries = indexed.palette();
    QCOMPARE(entries[0], qRgba(76, 76, 76, 40));
    QCOMPARE(entries[1], qRgba(28, 28, 28, 255));
    QCOMPARE(indexed.pixel(2, 0), qRgb(123, 123, 123));

    TPNGObject rgba = rgbaRow({200, 7}, qRgb(0, 255, 0));
    GrayImage(rgba, 255);
    QCOMPARE(rgba.pixel(0, 0), qRgb(150, 150, 150));
    QCOMPARE(rgba.pixelAlpha(0, 0), 200);
    QCOMPARE(rgba.pixelAlpha(1, 0), 7);

    PngRecipe grey;
    grey.width = 1;
    grey.height = 1;
    grey.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
    grey.samples = {33, 44};
    TPNGObject greyImage = decoded(grey);
    GrayImage(greyImage, 0);
    QCOMPARE(greyImage.pixel(0, 0), qRgb(33, 33, 33));
    QCOMPARE(greyImage.pixelAlpha(0, 0), 44);
}

void TestPngFunctions::paintPngAppliesTheOptions_data()
{
    QTest::addColumn<int>("options");
    QTest::addColumn<QList<int>>("shown"); // over white

    // Opaque red: faded to alpha 128 over white, greyed to 76.
    QTest::newRow("none") << 0 << QList<int>{255, 0, 0};
    QTest::newRow("blend") << 1 << QList<int>{255, 127, 127};
    QTest::newRow("grayscale") << 2 << QList<int>{76, 76, 76};
    QTest::newRow("both") << 3 << QList<int>{165, 165, 165};
}

void TestPngFunctions::paintPngAppliesTheOptions()
{
    QFETCH(int, options);
    QFETCH(QList<int>, shown);

    const TPNGObject image = rgbaRow({255, 255}, qRgb(255, 0, 0));
    QImage canvas(3, 1, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        PaintPng(image, painter, QRect(1, 0, 2, 1),
                 TPngOptions::fromByte(static_cast<std::uint8_t>(options)));
    }
    const QRgb at = canvas.pixel(1, 0);
    QVERIFY2(near(qRed(at), shown[0]) && near(qGreen(at), shown[1]) && near(qBlue(at), shown[2]),
             qPrintable(QStringLiteral("%1 %2 %3").arg(qRed(at)).arg(qGreen(at)).arg(qBlue(at))));
    QCOMPARE(canvas.pixel(0, 0), qRgb(255, 255, 255));
    // The effects work on a copy.
    QCOMPARE(image.pixel(1, 0), qRgb(255, 0, 0));
    QCOMPARE(image.pixelAlpha(1, 0), 255);
}

void TestPngFunctions::optionSetIsOneByte()
{
    const TPngOptions blend = pngBlendOnDisabled;
    const TPngOptions both = blend | pngGrayscaleOnDisabled;
    QCOMPARE(int(blend.toByte()), 1);
    QCOMPARE(int(TPngOptions(pngGrayscaleOnDisabled).toByte()), 2);
    QCOMPARE(int(both.toByte()), 3);
    QVERIFY(both.contains(pngGrayscaleOnDisabled));
    QVERIFY(!(both - pngGrayscaleOnDisabled).contains(pngGrayscaleOnDisabled));
    QVERIFY(TPngOptions().isEmpty());
    QCOMPARE(int(TPngOptions::fromByte(0xFF).toByte()), 3);
}

QTEST_MAIN(TestPngFunctions)
#include "test_pngfunctions.moc"
