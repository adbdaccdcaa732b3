#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <string>

class QLineEdit;
class QThread;
class QTimer;
class TForm1;

// Find in the log: a field above the tree (Ctrl+F shows it and puts the focus there). As the text
// is typed, the chosen log is searched on a worker thread; the tree then shows only the users and
// hosts with requests whose URL contains the text, each with its number of them, and a listing
// shows only the matching rows. Esc clears the text and shows everything again.
class FindBar : public QWidget
{
    Q_OBJECT

public:
    explicit FindBar(TForm1* form);
    ~FindBar() override;

    QLineEdit* edit() const { return m_edit; }
    // The text searched for now, as bytes; empty when find is off.
    const std::string& activeText() const { return m_active; }

public slots:
    // Shows the field and puts the focus in it.
    void open();
    // Clears the text and hides the field; the tree and the list show everything again.
    void close();
    // Searches the chosen log for the text of the field again.
    void search();

signals:
    // The tree shows the matches of a search (or everything again).
    void searched();

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void stop();

    TForm1* m_form;
    QLineEdit* m_edit = nullptr;
    QTimer* m_pause = nullptr;
    std::string m_active;
    std::shared_ptr<std::atomic_bool> m_cancel;
    unsigned m_generation = 0;
    // The searches still running, waited for when the bar goes.
    QList<QPointer<QThread>> m_workers;
};
