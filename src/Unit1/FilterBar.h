#pragma once

#include <QWidget>

#include <string>

class QHeaderView;
class QLabel;
class QLineEdit;
class RecordModel;

// The bytes to search the log for when a person typed text: the code page's bytes when every
// character has one there (ASCII stays ASCII), else UTF-8.
std::string SearchBytes(const QString& typed, int codePage);

// The bar over ListView1 that narrows the listing: rows whose URL contains a text (ASCII case
// ignored) and whose date lies in a range (from, to, either may be empty), with "n of m rows".
// Every change is applied to the model as it is typed.
class FilterBar : public QWidget
{
    Q_OBJECT

public:
    FilterBar(RecordModel* model, int codePage, QWidget* parent = nullptr);

    QLineEdit* urlEdit() const { return m_url; }
    QLineEdit* fromEdit() const { return m_from; }
    QLineEdit* toEdit() const { return m_to; }
    // "n of m rows"
    QString countText() const;

    void setCodePage(int codePage) { m_codePage = codePage; }
    // The text of find in the log, which narrows the listing as well; empty for none.
    void setFindText(std::string bytes);
    // Sorts the listing by the column whose header is clicked: a second click reverses, a third
    // goes back to file order; the header shows the order.
    void sortByHeader(QHeaderView* header);

public slots:
    // Hands the texts of the bar to the model.
    void apply();

private:
    void showCount();

    RecordModel* m_model;
    int m_codePage;
    std::string m_find;
    QLineEdit* m_url = nullptr;
    QLineEdit* m_from = nullptr;
    QLineEdit* m_to = nullptr;
    QLabel* m_count = nullptr;
};
