#include "PngSpeedButton/PngButtonFunctions.h"
#include "PngSpeedButton/PngSpeedButton.h"
#include "common/QeltError.h"
#include "gui/test_pngwriter.h"

#include <QAction>
#include <QHBoxLayout>
#include <QIcon>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

using pngtest::encodePng;
using pngtest::PngRecipe;

namespace {

// A font whose caption line is 13 pixels high, the height the toolbar's worked examples use.
QFont thirteenPixelFont()
{
    QFont font;
    for (int pixels = 8; pixels <= 16; ++pixels) {
        font.setPixelSize(pixels);
        if (MeasureCaption(font, QStringLiteral("Open Log Folder"), 130).height() == 13) {
            return font;
        }
    }
    return QFont();
}

// An opaque glyph whose every pixel differs from its neighbours, so that a shift shows.
TPNGObject patternGlyph(int width, int height)
{
    TPNGObject image = TPNGObject::createBlank(PngColorType::RgbAlpha, width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(40 + 8 * x, 40 + 8 * y, 200));
            image.alphaScanline(y)[x] = 255;
        }
    }
    return image;
}

TPNGObject solidGlyph(QRgb color, int alpha)
{
    TPNGObject image = TPNGObject::createBlank(PngColorType::RgbAlpha, 24, 24);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 24; ++x) {
            image.setPixel(x, y, color);
            image.alphaScanline(y)[x] = static_cast<std::uint8_t>(alpha);
        }
    }
    return image;
}

// A button on a white face with black caption text, so painted pixels can be read back.
void whiteFace(TPngSpeedButton& button)
{
    QPalette colors = button.palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colors.setColor(group, QPalette::Button, Qt::white);
        colors.setColor(group, QPalette::ButtonText, Qt::black);
    }
    button.setPalette(colors);
}

QImage grabbed(TPngSpeedButton& button)
{
    return button.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool near(QRgb actual, QRgb expected)
{
    return std::abs(qRed(actual) - qRed(expected)) <= 1 &&
           std::abs(qGreen(actual) - qGreen(expected)) <= 1 &&
           std::abs(qBlue(actual) - qBlue(expected)) <= 1;
}

QString describe(QRgb c)
{
    return QStringLiteral("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

class CountingButton : public TPngSpeedButton
{
public:
    using TPngSpeedButton::TPngSpeedButton;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        ++paints;
        TPngSpeedButton::paintEvent(event);
    }
};

} // namespace

class TestPngSpeedButton : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void horizontalLayoutPlacesCaptionBesideGlyph();
    void defaults();
    void glyphAlphaWhenDisabled_data();
    void glyphAlphaWhenDisabled();
    void pressedAndDownShiftGlyphByOnePixel_data();
    void pressedAndDownShiftGlyphByOnePixel();
    void captionStandsAtItsTextPosition();
    void setPngImageDropsGammaOfColourImages_data();
    void setPngImageDropsGammaOfColourImages();
    void sameOptionsDoNotRepaint();
    void imageFromAction();
    void groupLatching();
    void writesDemoRow();

private:
    QFont m_font;
};

void TestPngSpeedButton::initTestCase()
{
    m_font = thirteenPixelFont();
    QVERIFY2(MeasureCaption(m_font, QStringLiteral("Open Log Folder"), 130).height() == 13,
             "no installed font measures 13 pixels per line");
}

void TestPngSpeedButton::layout_data()
{
    QTest::addColumn<QRect>("client");
    QTest::addColumn<QSize>("glyph");
    QTest::addColumn<int>("layout");
    QTest::addColumn<int>("margin");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("pressed");
    QTest::addColumn<bool>("down");
    QTest::addColumn<bool>("rightToLeft");
    QTest::addColumn<QPoint>("glyphAt");
    QTest::addColumn<int>("textAlong"); // text y for vertical layouts, -1000 when not checked

    const QString open = QStringLiteral("Open Log Folder");
    const QRect main(0, 0, 130, 50);
    const QSize big(24, 24);
    QTest::newRow("main window") << main << big << int(blGlyphTop) << -1 << 4 << open << false
                                 << false << false << QPoint(53, 4) << 32;
    QTest::newRow("main window pressed") << main << big << int(blGlyphTop) << -1 << 4 << open
                                         << true << false << false << QPoint(54, 5) << 33;
    QTest::newRow("main window down") << main << big << int(blGlyphTop) << -1 << 4 << open << false
                                      << true << false << QPoint(54, 5) << 33;
    QTest::newRow("filter manager")
        << QRect(0, 0, 80, 50) << QSize(21, 20) << int(blGlyphTop) << -1 << 4
        << QStringLiteral("Add Group") << false << false << false << QPoint(30, 6) << 30;
    QTest::newRow("client offset") << QRect(10, 20, 130, 50) << big << int(blGlyphTop) << -1 << 4
                                   << open << false << false << false << QPoint(63, 24) << 52;
    QTest::newRow("top, right to left") << main << big << int(blGlyphTop) << -1 << 4 << open
                                        << false << false << true << QPoint(53, 4) << 32;
    // Margin and spacing both automatic: (50 - 37) div 3 = 4 for both.
    QTest::newRow("all automatic") << main << big << int(blGlyphTop) << -1 << -1 << open << false
                                   << false << false << QPoint(53, 4) << 32;
    // Spacing automatic: (50 - 2 - 24 - 13) div 2 = 5.
    QTest::newRow("automatic spacing") << main << big << int(blGlyphTop) << 2 << -1 << open << false
                                       << false << false << QPoint(53, 2) << 31;
    QTest::newRow("bottom") << main << big << int(blGlyphBottom) << 3 << 4 << open << false << false
                            << false << QPoint(53, 23) << 6;
    // Without a caption the spacing is dropped: the glyph is centred both ways.
    QTest::newRow("no caption, left")
        << QRect(0, 0, 100, 40) << QSize(16, 16) << int(blGlyphLeft) << -1 << 4 << QString()
        << false << false << false << QPoint(42, 12) << -1000;
    QTest::newRow("no caption, top")
        << QRect(0, 0, 60, 50) << big << int(blGlyphTop) << -1 << 4 << QString() << false << false
        << false << QPoint(18, 13) << -1000;
    QTest::newRow("left, margin 5")
        << QRect(0, 0, 100, 40) << QSize(16, 16) << int(blGlyphLeft) << 5 << 4 << QString() << false
        << false << false << QPoint(5, 12) << -1000;
    QTest::newRow("left turns right")
        << QRect(0, 0, 100, 40) << QSize(16, 16) << int(blGlyphLeft) << 5 << 4 << QString() << false
        << false << true << QPoint(79, 12) << -1000;
    QTest::newRow("right turns left")
        << QRect(0, 0, 100, 40) << QSize(16, 16) << int(blGlyphRight) << 5 << 4 << QString()
        << false << false << true << QPoint(5, 12) << -1000;
    // Divisions of negative free space round toward zero, not down.
    QTest::newRow("glyph larger than button")
        << QRect(0, 0, 10, 10) << big << int(blGlyphTop) << -1 << 4 << QString() << false << false
        << false << QPoint(-6, -7) << -1000;
    // No image: the caption alone is centred, the glyph position sits where it would start.
    QTest::newRow("no image") << main << QSize() << int(blGlyphTop) << -1 << 4 << open << false
                              << false << false << QPoint(65, 18) << 18;
}

void TestPngSpeedButton::layout()
{
    QFETCH(QRect, client);
    QFETCH(QSize, glyph);
    QFETCH(int, layout);
    QFETCH(int, margin);
    QFETCH(int, spacing);
    QFETCH(QString, caption);
    QFETCH(bool, pressed);
    QFETCH(bool, down);
    QFETCH(bool, rightToLeft);
    QFETCH(QPoint, glyphAt);
    QFETCH(int, textAlong);

    const TPNGObject image =
        glyph.isValid()
            ? TPNGObject::createBlank(PngColorType::RgbAlpha, glyph.width(), glyph.height())
            : TPNGObject();
    const GlyphCaptionPlacement at = LayoutGlyphAndCaption(
        m_font, glyph.isValid() ? &image : nullptr, client, pressed, down, caption,
        static_cast<TButtonLayout>(layout), margin, spacing, rightToLeft ? TextRightToLeft : 0);
    QCOMPARE(at.glyph, glyphAt);
    if (textAlong != -1000) {
        QCOMPARE(at.text.y(), textAlong);
        const int o = pressed || down ? 1 : 0;
        const int width = MeasureCaption(m_font, caption, client.width()).width();
        QVERIFY(width > 0);
        QCOMPARE(at.text.x(), client.left() + (client.width() - width) / 2 + o);
    }
}

void TestPngSpeedButton::horizontalLayoutPlacesCaptionBesideGlyph()
{
    const QString caption = QStringLiteral("Delete");
    const QSize text = MeasureCaption(m_font, caption, 200);
    const TPNGObject image = TPNGObject::createBlank(PngColorType::RgbAlpha, 16, 16);
    const QRect client(0, 0, 200, 40);

    const auto left =
        LayoutGlyphAndCaption(m_font, &image, client, false, false, caption, blGlyphLeft, -1, 4, 0);
    const int margin = (200 - (16 + 4 + text.width())) / 2;
    QCOMPARE(left.glyph, QPoint(margin, 12));
    QCOMPARE(left.text, QPoint(margin + 16 + 4, (40 - 13) / 2));

    const auto right = LayoutGlyphAndCaption(m_font, &image, client, false, false, caption,
                                             blGlyphRight, -1, 4, 0);
    QCOMPARE(right.glyph, QPoint(200 - margin - 16, 12));
    QCOMPARE(right.text.x(), right.glyph.x() - 4 - text.width());
    // The caption sits right of the glyph in one layout and left of it in the other.
    QVERIFY(left.text.x() > left.glyph.x());
    QVERIFY(right.text.x() + text.width() <= right.glyph.x());
}

void TestPngSpeedButton::defaults()
{
    TPngSpeedButton button;
    QCOMPARE(button.focusPolicy(), Qt::NoFocus);
    QVERIFY(button.pngImage().isEmpty());
    QCOMPARE(button.pngOptions(), TPngOptions(pngBlendOnDisabled));
    QCOMPARE(button.buttonLayout(), blGlyphTop);
    QCOMPARE(button.margin(), -1);
    QCOMPARE(button.spacing(), 4);
    QVERIFY(button.flat());
    QVERIFY(!button.latchedDown());
    QVERIFY(!button.imageFromAction());

    // Clearing the image leaves a caption-only button that still paints.
    button.setCaption(QStringLiteral("Filter Manager"));
    button.setPngImage(solidGlyph(qRgb(255, 0, 0), 255));
    QCOMPARE(button.pngImage().width(), 24);
    button.setPngImage(TPNGObject());
    QVERIFY(button.pngImage().isEmpty());
    button.resize(130, 50);
    QVERIFY(!grabbed(button).isNull());

    QSignalSpy clicks(&button, &TPngSpeedButton::clicked);
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    button.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
}

void TestPngSpeedButton::glyphAlphaWhenDisabled_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("options");
    QTest::addColumn<QRgb>("glyph");
    QTest::addColumn<int>("alpha");
    QTest::addColumn<QRgb>("shown"); // over the white face

    const QRgb red = qRgb(255, 0, 0);
    // Red at alpha a over white shows green and blue at 255 - a.
    QTest::newRow("enabled") << true << 1 << red << 200 << qRgb(255, 55, 55);
    QTest::newRow("enabled, grey option") << true << 2 << red << 255 << red;
    QTest::newRow("disabled, alpha halved") << false << 1 << red << 200 << qRgb(255, 155, 155);
    QTest::newRow("disabled, opaque halved") << false << 1 << red << 255 << qRgb(255, 127, 127);
    QTest::newRow("disabled, no options") << false << 0 << red << 200 << qRgb(255, 55, 55);
    QTest::newRow("disabled, grey") << false << 2 << red << 255 << qRgb(76, 76, 76);
    QTest::newRow("disabled, grey and faded") << false << 3 << red << 255 << qRgb(165, 165, 165);
}

void TestPngSpeedButton::glyphAlphaWhenDisabled()
{
    QFETCH(bool, enabled);
    QFETCH(int, options);
    QFETCH(QRgb, glyph);
    QFETCH(int, alpha);
    QFETCH(QRgb, shown);

    TPngSpeedButton button;
    whiteFace(button);
    button.resize(60, 50);
    button.setPngImage(solidGlyph(glyph, alpha));
    button.setPngOptions(TPngOptions::fromByte(static_cast<std::uint8_t>(options)));
    button.setEnabled(enabled);

    const QImage picture = grabbed(button);
    const QRect area(QPoint(18, 13), QSize(24, 24));
    QCOMPARE(button.placement().glyph, area.topLeft());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            QVERIFY2(near(picture.pixel(x, y), shown),
                     qPrintable(QStringLiteral("at %1, %2: %3")
                                    .arg(x)
                                    .arg(y)
                                    .arg(describe(picture.pixel(x, y)))));
        }
    }
    QCOMPARE(picture.pixel(area.left() - 1, area.top()), qRgb(255, 255, 255));
    QCOMPARE(picture.pixel(area.right() + 1, area.bottom() + 1), qRgb(255, 255, 255));
    // Painting never changes the stored glyph.
    QCOMPARE(button.pngImage().pixelAlpha(0, 0), alpha);
    QCOMPARE(button.pngImage().pixel(0, 0), glyph);
}

void TestPngSpeedButton::pressedAndDownShiftGlyphByOnePixel_data()
{
    QTest::addColumn<bool>("latched");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("pressed") << false << true;
    QTest::newRow("latched down") << true << true;
    QTest::newRow("latched down, disabled") << true << false;
}

void TestPngSpeedButton::pressedAndDownShiftGlyphByOnePixel()
{
    QFETCH(bool, latched);
    QFETCH(bool, enabled);

    TPngSpeedButton button;
    whiteFace(button);
    button.resize(60, 50);
    button.setPngImage(patternGlyph(24, 24));
    button.setPngOptions(TPngOptions(pngGrayscaleOnDisabled)); // opaque, so the face never shows
    button.setGroupIndex(1);
    button.setAllowAllUp(true);
    button.setEnabled(enabled);
    const QImage normal = grabbed(button);
    if (latched) {
        button.setLatchedDown(true);
        QVERIFY(button.latchedDown());
    } else {
        button.setDown(true);
    }
    const QImage shifted = grabbed(button);
    QCOMPARE(button.placement().glyph, QPoint(19, 14));
    for (int y = 13; y < 13 + 24; ++y) {
        for (int x = 18; x < 18 + 24; ++x) {
            QCOMPARE(shifted.pixel(x + 1, y + 1), normal.pixel(x, y));
        }
    }
    QVERIFY(normal.pixel(18, 13) != shifted.pixel(18, 13));
}

void TestPngSpeedButton::captionStandsAtItsTextPosition()
{
    TPngSpeedButton button;
    whiteFace(button);
    button.setFont(m_font);
    button.resize(130, 50);
    button.setCaption(QStringLiteral("Open Log Folder"));
    button.setPngImage(solidGlyph(qRgb(0, 0, 255), 255));
    for (bool pressed : {false, true}) {
        button.setDown(pressed);
        const GlyphCaptionPlacement at = button.placement();
        QCOMPARE(at.glyph, pressed ? QPoint(54, 5) : QPoint(53, 4));
        const QRect textRect(at.text, MeasureCaption(m_font, button.caption(), 130));
        const QRect glyphRect(at.glyph, QSize(24, 24));
        const QImage picture = grabbed(button);
        QRect ink;
        // The frame of a pressed button is dark too; look inside it.
        for (int y = 2; y < 48; ++y) {
            for (int x = 2; x < 128; ++x) {
                if (!glyphRect.contains(x, y) && qGray(picture.pixel(x, y)) < 128) {
                    ink |= QRect(x, y, 1, 1);
                }
            }
        }
        QVERIFY(!ink.isEmpty());
        QVERIFY2(textRect.contains(ink), qPrintable(QStringLiteral("ink %1,%2 %3x%4")
                                                        .arg(ink.x())
                                                        .arg(ink.y())
                                                        .arg(ink.width())
                                                        .arg(ink.height())));
        QVERIFY(ink.top() > glyphRect.bottom());
    }
}

void TestPngSpeedButton::setPngImageDropsGammaOfColourImages_data()
{
    QTest::addColumn<int>("colorType");
    QTest::addColumn<bool>("keepsGamma");
    QTest::newRow("grey") << PNG_COLOR_TYPE_GRAY << true;
    QTest::newRow("rgb") << PNG_COLOR_TYPE_RGB << false;
    QTest::newRow("palette") << PNG_COLOR_TYPE_PALETTE << false;
    QTest::newRow("grey+alpha") << PNG_COLOR_TYPE_GRAY_ALPHA << true;
    QTest::newRow("rgba") << PNG_COLOR_TYPE_RGB_ALPHA << false;
}

void TestPngSpeedButton::setPngImageDropsGammaOfColourImages()
{
    QFETCH(int, colorType);
    QFETCH(bool, keepsGamma);

    PngRecipe recipe;
    recipe.width = 2;
    recipe.height = 2;
    recipe.colorType = colorType;
    recipe.gamma = 1.0;
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        recipe.palette = {{1, 2, 3}};
    }
    const QByteArray file = encodePng(recipe);
    TPNGObject image = TPNGObject::fromData(file);
    QVERIFY(image.hasChunk<TChunkgAMA>());

    TPngSpeedButton button;
    button.setPngImage(image);
    QCOMPARE(button.pngImage().hasChunk<TChunkgAMA>(), keepsGamma);
    QCOMPARE(static_cast<int>(button.pngImage().colorType()), colorType);
    // The caller's image is its own.
    QVERIFY(image.hasChunk<TChunkgAMA>());
    image.setPixel(0, 0, qRgb(255, 255, 255));
    QVERIFY(button.pngImage().pixel(0, 0) != qRgb(255, 255, 255));

    // Loaded as a window description stores it, the chunk stays whatever the type.
    button.loadPngImageData(file);
    QVERIFY(button.pngImage().hasChunk<TChunkgAMA>());
    QVERIFY_THROWS_EXCEPTION(qelt::QeltError, button.loadPngImageData(file.left(40)));
}

void TestPngSpeedButton::sameOptionsDoNotRepaint()
{
    QWidget window;
    auto* button = new CountingButton(&window);
    button->setGeometry(0, 0, 130, 50);
    button->setPngImage(solidGlyph(qRgb(255, 0, 0), 255));
    window.resize(140, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(button->paints > 0);
    QTest::qWait(50);

    button->paints = 0;
    button->setPngOptions(TPngOptions(pngBlendOnDisabled));
    QTest::qWait(50);
    QCOMPARE(button->paints, 0);

    button->setPngOptions(TPngOptions(pngGrayscaleOnDisabled));
    QTRY_VERIFY(button->paints > 0);
    QCOMPARE(button->pngOptions(), TPngOptions(pngGrayscaleOnDisabled));
}

void TestPngSpeedButton::imageFromAction()
{
    QPixmap picture(16, 16);
    picture.fill(Qt::green);
    QAction action(QIcon(picture), QStringLiteral("Open"));

    TPngSpeedButton fromAction;
    fromAction.setDefaultAction(&action);
    QVERIFY(fromAction.imageFromAction());
    QCOMPARE(fromAction.pngImage().width(), 16);
    QCOMPARE(fromAction.pngImage().pixel(3, 3), qRgb(0, 255, 0));

    // A new icon on the action follows while the image is the action's.
    picture.fill(Qt::blue);
    action.setIcon(QIcon(picture));
    QCOMPARE(fromAction.pngImage().pixel(3, 3), qRgb(0, 0, 255));

    // An image of its own is kept, and the action no longer reaches it.
    fromAction.setPngImage(solidGlyph(qRgb(255, 0, 0), 255));
    QVERIFY(!fromAction.imageFromAction());
    picture.fill(Qt::yellow);
    action.setIcon(QIcon(picture));
    QCOMPARE(fromAction.pngImage().pixel(3, 3), qRgb(255, 0, 0));

    TPngSpeedButton own;
    own.setPngImage(solidGlyph(qRgb(255, 0, 0), 255));
    own.setDefaultAction(&action);
    QVERIFY(!own.imageFromAction());
    QCOMPARE(own.pngImage().width(), 24);
}

void TestPngSpeedButton::groupLatching()
{
    QWidget bar;
    auto* first = new TPngSpeedButton(&bar);
    auto* second = new TPngSpeedButton(&bar);
    auto* loose = new TPngSpeedButton(&bar);
    for (TPngSpeedButton* b : {first, second, loose}) {
        b->resize(40, 40);
    }
    first->setGroupIndex(1);
    second->setGroupIndex(1);

    QTest::mouseClick(first, Qt::LeftButton);
    QVERIFY(first->latchedDown());
    QTest::mouseClick(second, Qt::LeftButton);
    QVERIFY(second->latchedDown());
    QVERIFY(!first->latchedDown());
    // Without AllowAllUp a down button stays down.
    QTest::mouseClick(second, Qt::LeftButton);
    QVERIFY(second->latchedDown());
    second->setAllowAllUp(true);
    QTest::mouseClick(second, Qt::LeftButton);
    QVERIFY(!second->latchedDown());

    // Outside a group the button never latches.
    loose->setLatchedDown(true);
    QTest::mouseClick(loose, Qt::LeftButton);
    QVERIFY(!loose->latchedDown());
}

void TestPngSpeedButton::writesDemoRow()
{
    // QELT_BUTTON_DEMO names the PNG to write (scripts/button-demo sets it); otherwise the
    // picture goes to a temporary folder and is checked only for being written.
    TPngSpeedButton::initResources();
    QWidget row;
    auto* layout = new QHBoxLayout(&row);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(0);
    struct DemoButton
    {
        const char* icon;
        const char* caption;
        bool enabled;
        int options;
        bool pressed;
        bool hot;
    };
    const DemoButton demoButtons[] = {
        {"open_log_folder", "Open Log Folder", true, 1, false, false},
        {"open_log_folder", "Open Log Folder", true, 1, false, true},
        {"delete_log_file", "Delete Log File", false, 1, false, false},
        {"delete_record", "Delete Record or Node", false, 2, false, false},
        {"filter_manager", "Filter Manager", false, 3, false, false},
        {"about", "Software Version", true, 1, true, false},
    };
    QList<TPngSpeedButton*> buttons;
    for (const DemoButton& s : demoButtons) {
        auto* b = new TPngSpeedButton(&row);
        b->setFont(m_font);
        b->setFixedSize(130, 50);
        b->setCaption(QString::fromLatin1(s.caption));
        b->setPngImage(
            TPNGObject::fromResource(QStringLiteral(":/icons/%1.png").arg(QLatin1String(s.icon))));
        b->setPngOptions(TPngOptions::fromByte(static_cast<std::uint8_t>(s.options)));
        b->setEnabled(s.enabled);
        b->setDown(s.pressed);
        // Stands in for the mouse resting on it: the hot-tracking frame.
        b->setAttribute(Qt::WA_UnderMouse, s.hot);
        layout->addWidget(b);
        buttons.append(b);
    }
    row.adjustSize();
    const QImage picture = row.grab().toImage();
    QCOMPARE(picture.width(), 6 * 130 + 8);

    QCOMPARE(buttons[0]->placement().glyph, QPoint(53, 4));
    QCOMPARE(buttons[5]->placement().glyph, QPoint(54, 5));

    const QByteArray target = qgetenv("QELT_BUTTON_DEMO");
    QTemporaryDir temp;
    const QString path = target.isEmpty() ? temp.filePath(QStringLiteral("buttons.png"))
                                          : QString::fromLocal8Bit(target);
    QVERIFY(picture.save(path, "PNG"));
    QCOMPARE(QImage(path).size(), picture.size());
}

QTEST_MAIN(TestPngSpeedButton)
#include "test_pngspeedbutton.moc"
