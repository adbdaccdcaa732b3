#include "PngSpeedButton/PngButtonFunctions.h"

#include "pngimage/PngImage.h"

#include <QFont>
#include <QFontMetrics>

QSize MeasureCaption(const QFont& font, const QString& caption, int clientWidth)
{
    if (caption.isEmpty()) {
        return QSize(0, 0);
    }
    const QFontMetrics metrics(font);
    const QRect extent = metrics.boundingRect(
        QRect(0, 0, clientWidth, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic, caption);
    return extent.size();
}

GlyphCaptionPlacement LayoutGlyphAndCaption(const QFont& font, const TPNGObject* image,
                                            const QRect& client, bool pressed, bool down,
                                            const QString& caption, TButtonLayout layout,
                                            int margin, int spacing, int textFlags)
{
    if ((textFlags & TextRightToLeft) != 0) {
        if (layout == blGlyphLeft) {
            layout = blGlyphRight;
        } else if (layout == blGlyphRight) {
            layout = blGlyphLeft;
        }
    }
    // QRect's right() is inclusive, so the client extent is its size, not right() - left().
    const QSize clientSize = client.size();
    const QSize glyphSize =
        image && !image->isEmpty() ? QSize(image->width(), image->height()) : QSize(0, 0);
    const QSize textSize = MeasureCaption(font, caption, clientSize.width());
    const bool horizontal = layout == blGlyphLeft || layout == blGlyphRight;

    QPoint glyph;
    QPoint text;
    if (horizontal) {
        glyph.setY((clientSize.height() - glyphSize.height() + 1) / 2);
    } else {
        glyph.setX((clientSize.width() - glyphSize.width() + 1) / 2);
    }

    if (textSize.width() == 0 || glyphSize.width() == 0) {
        spacing = 0;
    }

    const int clientAlong = horizontal ? clientSize.width() : clientSize.height();
    const int glyphAlong = horizontal ? glyphSize.width() : glyphSize.height();
    const int textAlong = horizontal ? textSize.width() : textSize.height();
    if (margin == -1 && spacing == -1) {
        // The free space in thirds: one before the glyph, one between glyph and caption.
        margin = (clientAlong - (glyphAlong + textAlong)) / 3;
        spacing = margin > 0 ? margin : 0;
    } else if (margin == -1) {
        margin = (clientAlong - (glyphAlong + spacing + textAlong)) / 2;
    } else if (spacing == -1) {
        spacing = (clientAlong - margin - glyphAlong - textAlong) / 2;
    }

    switch (layout) {
    case blGlyphLeft:
        glyph.setX(margin);
        break;
    case blGlyphRight:
        glyph.setX(clientSize.width() - margin - glyphSize.width());
        break;
    case blGlyphTop:
        glyph.setY(margin);
        break;
    case blGlyphBottom:
        glyph.setY(clientSize.height() - margin - glyphSize.height());
        break;
    }

    if (horizontal) {
        text.setY((clientSize.height() - textSize.height()) / 2);
    } else {
        text.setX((clientSize.width() - textSize.width()) / 2);
    }

    switch (layout) {
    case blGlyphLeft:
        text.setX(glyph.x() + glyphSize.width() + spacing);
        break;
    case blGlyphRight:
        text.setX(glyph.x() - spacing - textSize.width());
        break;
    case blGlyphTop:
        text.setY(glyph.y() + glyphSize.height() + spacing);
        break;
    case blGlyphBottom:
        text.setY(glyph.y() - spacing - textSize.height());
        break;
    }

    const int o = pressed || down ? 1 : 0;
    const QPoint offset(client.left() + o, client.top() + o);
    return GlyphCaptionPlacement{glyph + offset, text + offset};
}
