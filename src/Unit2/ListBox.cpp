#include "Unit2/ListBox.h"

#include <QMouseEvent>

ListBox::ListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    // The selection, not the current entry: the view moves the current entry before it selects.
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
        m_changedSincePress = true;
        emit userClick();
    });
}

int ListBox::selectedRow() const
{
    const QList<QListWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? -1 : row(selected.first());
}

void ListBox::mousePressEvent(QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
    m_changedSincePress = false;
    QListWidget::mousePressEvent(event);
}

void ListBox::mouseReleaseEvent(QMouseEvent* event)
{
    const bool pressed = m_pressed && event->button() == Qt::LeftButton;
    m_pressed = false;
    QListWidget::mouseReleaseEvent(event);
    // A click that changed the selection was reported already when it changed.
    if (pressed && !m_changedSincePress)
        emit userClick();
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event)
{
    QListWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit userDoubleClick();
}
