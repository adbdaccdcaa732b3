#include "Unit2/ColorBox.h"

#include "filters/ColorNames.h"
#include "widgets/Dialogs.h"
#include "widgets/ItemHeight.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>

#include <iterator>

namespace {

constexpr int NamedCount = static_cast<int>(std::size(qelt::ColorBoxColors));
constexpr int InitialIndex = 2; // clMaroon
constexpr int ItemHeight = 16;

// What the box shows for the named colours, in the order of qelt::ColorBoxColors. The store and
// qeltlog keep the colours' own names (clMaroon ...).
const char* const ShownNames[] = {
    QT_TRANSLATE_NOOP("ColorBox", "Black"),       QT_TRANSLATE_NOOP("ColorBox", "Maroon"),
    QT_TRANSLATE_NOOP("ColorBox", "Green"),       QT_TRANSLATE_NOOP("ColorBox", "Olive"),
    QT_TRANSLATE_NOOP("ColorBox", "Navy"),        QT_TRANSLATE_NOOP("ColorBox", "Purple"),
    QT_TRANSLATE_NOOP("ColorBox", "Teal"),        QT_TRANSLATE_NOOP("ColorBox", "Gray"),
    QT_TRANSLATE_NOOP("ColorBox", "Silver"),      QT_TRANSLATE_NOOP("ColorBox", "Red"),
    QT_TRANSLATE_NOOP("ColorBox", "Lime"),        QT_TRANSLATE_NOOP("ColorBox", "Yellow"),
    QT_TRANSLATE_NOOP("ColorBox", "Blue"),        QT_TRANSLATE_NOOP("ColorBox", "Fuchsia"),
    QT_TRANSLATE_NOOP("ColorBox", "Aqua"),        QT_TRANSLATE_NOOP("ColorBox", "White"),
    QT_TRANSLATE_NOOP("ColorBox", "Money Green"), QT_TRANSLATE_NOOP("ColorBox", "Sky Blue"),
    QT_TRANSLATE_NOOP("ColorBox", "Cream"),       QT_TRANSLATE_NOOP("ColorBox", "Medium Gray"),
};
static_assert(std::size(ShownNames) == std::size(qelt::ColorBoxColors));

QIcon swatch(StoredColor color, const QSize& size)
{
    QPixmap pixmap(size);
    pixmap.fill(ToQColor(color));
    QPainter painter(&pixmap);
    painter.setPen(Qt::black);
    painter.drawRect(0, 0, size.width() - 1, size.height() - 1);
    return QIcon(pixmap);
}

} // namespace

QColor ToQColor(StoredColor color)
{
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

StoredColor FromQColor(const QColor& color)
{
    const QColor rgb = color.toRgb();
    return static_cast<StoredColor>(rgb.red()) | (static_cast<StoredColor>(rgb.green()) << 8) |
           (static_cast<StoredColor>(rgb.blue()) << 16);
}

ColorBox::ColorBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(false);
    setIconSize(QSize(ItemHeight - 2, ItemHeight - 4));
    addItem(swatch(m_custom, iconSize()), tr("Custom..."));
    for (int i = 0; i < NamedCount; ++i)
        addItem(swatch(qelt::ColorBoxColors[i].value, iconSize()), tr(ShownNames[i]));
    SetItemHeight(this, ItemHeight);
    setCurrentIndex(InitialIndex);
    setMaxVisibleItems(count());
    connect(this, &QComboBox::activated, this, &ColorBox::onActivated);
}

StoredColor ColorBox::entryColor(int index) const
{
    if (index == CustomIndex)
        return m_custom;
    if (index < 1 || index > NamedCount)
        return m_custom;
    return qelt::ColorBoxColors[index - 1].value;
}

StoredColor ColorBox::selectedColor() const
{
    return entryColor(currentIndex());
}

void ColorBox::selectColor(StoredColor color)
{
    // activated() is the user's signal only, so setting the index here raises no colorChanged().
    for (int i = 0; i < NamedCount; ++i) {
        if (qelt::ColorBoxColors[i].value == color) {
            setCurrentIndex(i + 1);
            return;
        }
    }
    setCustomColor(color);
    setCurrentIndex(CustomIndex);
}

void ColorBox::setCustomColor(StoredColor color)
{
    m_custom = color;
    setItemIcon(CustomIndex, swatch(color, iconSize()));
}

void ColorBox::showPopup()
{
    m_listOpen = true;
    QComboBox::showPopup();
}

void ColorBox::hidePopup()
{
    QComboBox::hidePopup();
    // The choice made in the list is reported right after the list closes; a list closed
    // without a choice must not make a later key press open the colour dialog.
    QMetaObject::invokeMethod(
        this, [this] { m_listOpen = false; }, Qt::QueuedConnection);
}

void ColorBox::onActivated(int index)
{
    const bool fromList = m_listOpen;
    m_listOpen = false;
    if (index == CustomIndex && fromList) {
        const std::optional<QColor> chosen = Dialogs::instance().getColor(this, ToQColor(m_custom));
        if (!chosen)
            return;
        setCustomColor(FromQColor(*chosen));
    }
    emit colorChanged();
}
