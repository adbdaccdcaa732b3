#pragma once

#include <QPoint>
#include <QRect>
#include <QString>

class QFont;
class TPNGObject;

// Where the glyph stands relative to the caption.
enum TButtonLayout
{
    blGlyphLeft = 0,
    blGlyphRight = 1,
    blGlyphTop = 2,
    blGlyphBottom = 3,
};

// Flags of the caption's text drawing that the layout reads.
enum ButtonTextFlag
{
    // Right-aligned, right-to-left text: glyph left and glyph right swap.
    TextRightToLeft = 0x1,
};

// The top-left corners of the glyph and of the caption inside a button.
struct GlyphCaptionPlacement
{
    QPoint glyph;
    QPoint text;
};

// Places a glyph of the image's size and the caption, measured in font, inside client.
// margin -1 centres the pair along the layout direction; spacing -1 spreads the free space in
// equal thirds (margin, spacing, rest). Pressed or down moves both one pixel right and down.
//
//     auto at = LayoutGlyphAndCaption(font, &png, QRect(0, 0, 130, 50), false, false,
//                                     QStringLiteral("Open"), blGlyphTop, -1, 4, 0);
//     // a 24 x 24 glyph: at.glyph == QPoint(53, 4)
GlyphCaptionPlacement LayoutGlyphAndCaption(const QFont& font, const TPNGObject* image,
                                            const QRect& client, bool pressed, bool down,
                                            const QString& caption, TButtonLayout layout,
                                            int margin, int spacing, int textFlags);

// The caption's extent in font, as the layout measures it (no word wrap, '&' marks a mnemonic).
QSize MeasureCaption(const QFont& font, const QString& caption, int clientWidth);
