#pragma once

#include <QListWidget>

// A single-selection list whose userClick() fires the way a list box's click event does: when
// the user changes the selection (mouse or keys), and when a click changes nothing. Changes made
// by the program raise nothing when made under a QSignalBlocker.
class ListBox : public QListWidget
{
    Q_OBJECT

public:
    explicit ListBox(QWidget* parent = nullptr);

    // The row of the selected entry, or -1.
    int selectedRow() const;

signals:
    void userClick();
    void userDoubleClick();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
    bool m_changedSincePress = false;
};
