#pragma once

#include "filters/Records.h"

#include <QComboBox>

class QColor;

// A colour as the store files keep it: 0x00BBGGRR, red in the lowest byte.
using StoredColor = qelt::ColorValue;

QColor ToQColor(StoredColor color);
StoredColor FromQColor(const QColor& color);

// The colour drop-down list of the filter manager: "Custom..." followed by the twenty named
// colours, each entry with a swatch. Only a choice by the user raises colorChanged(); a colour
// the window selects with selectColor() never does.
class ColorBox : public QComboBox
{
    Q_OBJECT

public:
    static constexpr int CustomIndex = 0;

    explicit ColorBox(QWidget* parent = nullptr);

    // The value of the selected entry: the custom colour for "Custom...".
    StoredColor selectedColor() const;
    StoredColor customColor() const { return m_custom; }

    // Selects the entry of that colour, or makes it the custom colour and selects "Custom...".
    void selectColor(StoredColor color);

    // The value an entry stands for.
    StoredColor entryColor(int index) const;

    void showPopup() override;
    void hidePopup() override;

signals:
    // The user chose an entry (for "Custom...": confirmed the colour dialog).
    void colorChanged();

private:
    void onActivated(int index);
    void setCustomColor(StoredColor color);

    StoredColor m_custom = 0x000000;
    // True from the opening of the list until the choice made in it has been handled: only
    // "Custom..." chosen from the open list asks for a colour; stepping onto it with the keys
    // takes the current custom colour.
    bool m_listOpen = false;
};
