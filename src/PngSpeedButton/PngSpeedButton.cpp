#include "PngSpeedButton/PngSpeedButton.h"

#include <QAction>
#include <QActionEvent>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <qdrawutil.h>

#include <algorithm>

// The icons are compiled into this static library; nothing else refers to their object file,
// so the linker keeps it only when someone names its initialiser. Outside any namespace, as the
// macro declares that initialiser.
static void initGlyphResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

// Room between the frame and the content when the button sizes itself.
constexpr int framePadding = 4;

} // namespace

TPngSpeedButton::TPngSpeedButton(QWidget* parent) : QToolButton(parent)
{
    initResources();
    setFocusPolicy(Qt::NoFocus);
    setAutoRaise(true);
    setAttribute(Qt::WA_Hover);
    connect(this, &QAbstractButton::clicked, this, &TPngSpeedButton::latchOnClick);
    RebuildPlaceholder();
}

TPngSpeedButton::~TPngSpeedButton() = default;

void TPngSpeedButton::initResources()
{
    static const bool done = (initGlyphResources(), true);
    (void)done;
}

void TPngSpeedButton::setCaption(const QString& caption)
{
    setText(caption);
    updateGeometry();
    update();
}

void TPngSpeedButton::setButtonLayout(TButtonLayout layout)
{
    if (layout == m_layout) {
        return;
    }
    m_layout = layout;
    updateGeometry();
    update();
}

void TPngSpeedButton::setButtonLayoutValue(int layout)
{
    if (layout >= blGlyphLeft && layout <= blGlyphBottom) {
        setButtonLayout(static_cast<TButtonLayout>(layout));
    }
}

void TPngSpeedButton::setMargin(int margin)
{
    if (margin == m_margin || margin < -1) {
        return;
    }
    m_margin = margin;
    update();
}

void TPngSpeedButton::setSpacing(int spacing)
{
    if (spacing == m_spacing || spacing < -1) {
        return;
    }
    m_spacing = spacing;
    updateGeometry();
    update();
}

void TPngSpeedButton::setFlat(bool flat)
{
    if (flat == m_flat) {
        return;
    }
    m_flat = flat;
    setAutoRaise(flat);
    update();
}

void TPngSpeedButton::setLatchedDown(bool down)
{
    // Only a grouped button latches; a down one comes up by itself only when all may be up,
    // otherwise by another button of its group going down.
    if (m_groupIndex == 0) {
        down = false;
    }
    if (down == m_down || (m_down && !m_allowAllUp)) {
        return;
    }
    m_down = down;
    update();
    if (!down || !parentWidget()) {
        return;
    }
    const auto siblings =
        parentWidget()->findChildren<TPngSpeedButton*>(Qt::FindDirectChildrenOnly);
    for (TPngSpeedButton* other : siblings) {
        if (other != this && other->m_groupIndex == m_groupIndex && other->m_down) {
            other->m_down = false;
            other->update();
        }
    }
}

void TPngSpeedButton::setGroupIndex(int groupIndex)
{
    if (groupIndex == m_groupIndex) {
        return;
    }
    m_groupIndex = groupIndex;
    if (groupIndex == 0 && m_down) {
        m_down = false;
        update();
    }
}

void TPngSpeedButton::setAllowAllUp(bool allowAllUp)
{
    m_allowAllUp = allowAllUp;
}

void TPngSpeedButton::latchOnClick()
{
    if (m_groupIndex == 0) {
        return;
    }
    if (!m_down) {
        setLatchedDown(true);
    } else if (m_allowAllUp) {
        setLatchedDown(false);
    }
}

void TPngSpeedButton::setPngImage(const TPNGObject& image)
{
    m_png = image.isEmpty() ? TPNGObject() : image;
    // RGB and palette glyphs are drawn as stored; a file gamma would otherwise shift their
    // colours away from the rest of the toolbar.
    switch (m_png.colorType()) {
    case PngColorType::Rgb:
    case PngColorType::Palette:
    case PngColorType::RgbAlpha:
        m_png.removeChunk<TChunkgAMA>();
        break;
    case PngColorType::Grayscale:
    case PngColorType::GrayscaleAlpha:
        break;
    }
    m_imageFromAction = false;
    RebuildPlaceholder();
    update();
}

void TPngSpeedButton::loadPngImageData(const QByteArray& pngFile)
{
    m_png.loadFromData(pngFile);
    RebuildPlaceholder();
    update();
}

void TPngSpeedButton::setPngOptions(TPngOptions options)
{
    if (options == m_pngOptions) {
        return;
    }
    m_pngOptions = options;
    RebuildPlaceholder();
    update();
}

void TPngSpeedButton::RebuildPlaceholder()
{
    m_placeholder = QSize(m_png.width(), m_png.height());
    updateGeometry();
}

void TPngSpeedButton::takeImageFromAction(QAction* action)
{
    if (!action || action->icon().isNull() || (!m_png.isEmpty() && !m_imageFromAction)) {
        return;
    }
    const QIcon icon = action->icon();
    const QList<QSize> sizes = icon.availableSizes();
    const QSize size = sizes.isEmpty() ? iconSize() : sizes.first();
    const QImage picture = icon.pixmap(size, 1.0).toImage();
    if (picture.isNull()) {
        return;
    }
    m_png = TPNGObject::fromImage(picture);
    RebuildPlaceholder();
    m_imageFromAction = true;
    update();
}

void TPngSpeedButton::actionEvent(QActionEvent* event)
{
    QToolButton::actionEvent(event);
    const bool changed =
        event->type() == QEvent::ActionChanged || event->type() == QEvent::ActionAdded;
    if (changed && event->action() && event->action() == defaultAction()) {
        takeImageFromAction(event->action());
    }
}

void TPngSpeedButton::changeEvent(QEvent* event)
{
    QToolButton::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::LayoutDirectionChange:
        updateGeometry();
        update();
        break;
    case QEvent::EnabledChange:
        update();
        break;
    default:
        break;
    }
}

GlyphCaptionPlacement TPngSpeedButton::placement() const
{
    const int textFlags = layoutDirection() == Qt::RightToLeft ? TextRightToLeft : 0;
    return LayoutGlyphAndCaption(font(), &m_png, rect(), isDown(), m_down, text(), m_layout,
                                 m_margin, m_spacing, textFlags);
}

void TPngSpeedButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect client = rect();
    const QPalette& colors = palette();
    const bool pressed = isDown();
    const bool hot = isEnabled() && underMouse();

    painter.fillRect(client, colors.brush(QPalette::Button));
    if (m_down && !pressed) {
        // A latched button shows a checked face, as toolbar toggles do.
        painter.fillRect(client.adjusted(1, 1, -1, -1),
                         QBrush(colors.color(QPalette::Light), Qt::Dense4Pattern));
    }
    if (pressed || m_down) {
        qDrawShadePanel(&painter, client, colors, true, 1);
    } else if (!m_flat || hot) {
        qDrawShadePanel(&painter, client, colors, false, 1);
    }

    const GlyphCaptionPlacement at = placement();
    const QString caption = text();
    if (!caption.isEmpty()) {
        const QSize textSize = MeasureCaption(font(), caption, client.width());
        const QRect textRect(at.text, textSize);
        const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic;
        painter.setFont(font());
        if (isEnabled()) {
            painter.setPen(colors.color(QPalette::Active, QPalette::ButtonText));
            painter.drawText(textRect, flags, caption);
        } else {
            // Engraved: a light copy one pixel down and right under a shadow-coloured one.
            painter.setPen(colors.color(QPalette::Light));
            painter.drawText(textRect.translated(1, 1), flags, caption);
            painter.setPen(colors.color(QPalette::Mid));
            painter.drawText(textRect, flags, caption);
        }
    }

    if (!m_png.isEmpty()) {
        const QRect target(at.glyph, QSize(m_png.width(), m_png.height()));
        PaintPng(m_png, painter, target, isEnabled() ? TPngOptions() : m_pngOptions);
    }
}

QSize TPngSpeedButton::sizeHint() const
{
    const QSize textSize = MeasureCaption(font(), text(), QWIDGETSIZE_MAX);
    const QSize glyph = m_placeholder;
    const int gap =
        textSize.width() == 0 || glyph.width() == 0 ? 0 : std::max(m_spacing, framePadding);
    const int pad = 2 * (m_margin >= 0 ? std::max(m_margin, framePadding) : framePadding);
    if (m_layout == blGlyphLeft || m_layout == blGlyphRight) {
        return QSize(glyph.width() + gap + textSize.width() + pad,
                     std::max(glyph.height(), textSize.height()) + pad);
    }
    return QSize(std::max(glyph.width(), textSize.width()) + pad,
                 glyph.height() + gap + textSize.height() + pad);
}

QSize TPngSpeedButton::minimumSizeHint() const
{
    return m_placeholder + QSize(2 * framePadding, 2 * framePadding);
}
