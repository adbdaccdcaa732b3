#include "widgets/ItemHeight.h"

#include <QComboBox>
#include <QStyledItemDelegate>

namespace {

class FixedHeightDelegate : public QStyledItemDelegate
{
public:
    FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), m_height(height)
    {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), m_height};
    }

private:
    int m_height;
};

} // namespace

void SetItemHeight(QComboBox* box, int height)
{
    box->setItemDelegate(new FixedHeightDelegate(height, box));
}
