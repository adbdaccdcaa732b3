#pragma once

#include "PngSpeedButton/PngButtonFunctions.h"
#include "PngSpeedButton/PngFunctions.h"
#include "pngimage/PngImage.h"

#include <QToolButton>

// The flat toolbar button of both windows: a PNG glyph beside (by default above) its caption,
// drawn faded and/or grey while the button is disabled. It never takes the keyboard focus.
//
//     auto* b = new TPngSpeedButton(toolbar);
//     b->setCaption(QStringLiteral("Open Log Folder"));
//     b->setPngImage(TPNGObject::fromResource(QStringLiteral(":/icons/open_log_folder.png")));
//     b->setFixedSize(130, 50);
//     connect(b, &TPngSpeedButton::clicked, this, &TForm1::OpenButtonClick);
//
// Defaults: layout blGlyphTop, margin -1 (centred), spacing 4, flat with hot tracking,
// PngOptions {pngBlendOnDisabled}. A button with a GroupIndex other than 0 latches down when
// clicked and releases the other buttons of the same parent and group; with AllowAllUp a click
// on a down button releases it.
class TPngSpeedButton : public QToolButton
{
    Q_OBJECT
    Q_PROPERTY(QString Caption READ caption WRITE setCaption)
    Q_PROPERTY(int Layout READ buttonLayoutValue WRITE setButtonLayoutValue)
    Q_PROPERTY(int Margin READ margin WRITE setMargin)
    Q_PROPERTY(int Spacing READ spacing WRITE setSpacing)
    Q_PROPERTY(bool Flat READ flat WRITE setFlat)
    Q_PROPERTY(bool Down READ latchedDown WRITE setLatchedDown)
    Q_PROPERTY(int GroupIndex READ groupIndex WRITE setGroupIndex)
    Q_PROPERTY(bool AllowAllUp READ allowAllUp WRITE setAllowAllUp)
    Q_PROPERTY(bool ImageFromAction READ imageFromAction)

public:
    explicit TPngSpeedButton(QWidget* parent = nullptr);
    ~TPngSpeedButton() override;

    // Makes sure the icons compiled into this library (":/icons/...") can be read. The
    // constructor calls it; call it yourself before loading an icon without a button.
    static void initResources();

    QString caption() const { return text(); }
    void setCaption(const QString& caption);

    TButtonLayout buttonLayout() const { return m_layout; }
    void setButtonLayout(TButtonLayout layout);

    int margin() const { return m_margin; }
    void setMargin(int margin);
    int spacing() const { return m_spacing; }
    void setSpacing(int spacing);

    // Flat: no frame until the mouse is over the button (hot tracking) or it is pressed.
    bool flat() const { return m_flat; }
    void setFlat(bool flat);

    // The latched down state (isDown() is Qt's transient pressed state).
    bool latchedDown() const { return m_down; }
    void setLatchedDown(bool down);
    int groupIndex() const { return m_groupIndex; }
    void setGroupIndex(int groupIndex);
    bool allowAllUp() const { return m_allowAllUp; }
    void setAllowAllUp(bool allowAllUp);

    // The glyph, never absent; empty when none is set.
    const TPNGObject& pngImage() const { return m_png; }
    // Keeps a copy; gAMA is removed from RGB and palette images so they draw without gamma
    // correction. An empty image clears the glyph.
    void setPngImage(const TPNGObject& image);
    // Loads the stored PNG file straight into the glyph, as a window description does: the gAMA
    // chunk stays. Throws qelt::QeltError when the data is no PNG.
    void loadPngImageData(const QByteArray& pngFile);

    TPngOptions pngOptions() const { return m_pngOptions; }
    void setPngOptions(TPngOptions options);

    // True when the glyph was taken from the icon of the button's default action.
    bool imageFromAction() const { return m_imageFromAction; }

    // Where the glyph and the caption stand in the current state.
    GlyphCaptionPlacement placement() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void actionEvent(QActionEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int buttonLayoutValue() const { return static_cast<int>(m_layout); }
    void setButtonLayoutValue(int layout);
    void RebuildPlaceholder();
    void takeImageFromAction(QAction* action);
    void latchOnClick();

    TPNGObject m_png;
    TPngOptions m_pngOptions{pngBlendOnDisabled};
    bool m_imageFromAction = false;
    TButtonLayout m_layout = blGlyphTop;
    int m_margin = -1;
    int m_spacing = 4;
    bool m_flat = true;
    bool m_down = false;
    int m_groupIndex = 0;
    bool m_allowAllUp = false;
    // The glyph area the caption is placed around: the PNG's size.
    QSize m_placeholder;
};
