#pragma once

#include "logaccess/LogRewrite.h"
#include "logaccess/LogTime.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QVector>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The rows of one listing, built off the GUI thread: per row the exact bytes of its date,
// connection label and display URL, its icon, and where its line starts in the log. The bytes of
// all rows share one buffer, so a listing of a million rows costs a few allocations, not millions.
class RecordTable
{
public:
    using Row = std::size_t;

    void reserve(std::size_t rows, std::size_t bytes);
    void append(std::string_view date, std::string_view label, std::string_view url, int icon,
                std::uint64_t line = 0);

    // What the rows were listed from: the log as it was read and the node's texts. A row's line
    // offset points at its line only while the log still holds what was listed.
    struct Origin
    {
        qelt::LogSnapshot snapshot;
        std::string user;
        std::string host; // empty for a user node
    };
    void setOrigin(Origin origin) { m_origin = std::move(origin); }
    const Origin& origin() const { return m_origin; }

    std::size_t size() const { return m_rows.size(); }
    bool empty() const { return m_rows.empty(); }
    std::string_view date(Row row) const;
    std::string_view label(Row row) const;
    std::string_view url(Row row) const;
    int icon(Row row) const { return m_rows[row].icon; }
    std::uint64_t line(Row row) const { return m_rows[row].line; }
    void setLine(Row row, std::uint64_t line) { m_rows[row].line = line; }

    // Appends the rows of another table.
    void appendTable(const RecordTable& other);

    // Removes the rows in [first, first + count).
    void erase(Row first, std::size_t count);
    // Removes the given rows (ascending, no duplicates) in one pass.
    void eraseSorted(const std::vector<Row>& rows);

private:
    struct Span
    {
        std::uint64_t offset;
        std::uint64_t line;
        std::uint32_t dateSize;
        std::uint32_t urlSize;
        std::uint8_t labelSize;
        std::uint8_t icon;
    };
    std::string m_bytes;
    std::vector<Span> m_rows;
    Origin m_origin;
};

// Which rows of a listing are shown: all of the conditions that are set hold for the row.
struct RecordFilter
{
    std::string url;  // the URL contains it, ASCII case ignored; empty: any URL
    std::string find; // the text of find in the log, by the same rule; empty: any URL
    std::optional<qelt::LogTime> from; // the row's date is this time or later
    std::optional<qelt::LogTime> to;   // the row's date is this time or earlier

    bool active() const { return !url.empty() || !find.empty() || from || to; }
    bool operator==(const RecordFilter& other) const
    {
        return url == other.url && find == other.find && from == other.from && to == other.to;
    }
};

// The model of ListView1: one row per listed request, the three columns "Date", "Connection
// Type" and "URL", the row's icon in the first column and its filter colour as background.
// Texts are decoded only when a row is shown; matching and deleting use the exact bytes.
//
// The rows shown are the table's rows through an index array: sorted by a column (or in file
// order) and then filtered, each in one pass and one reset, never row by row. Row numbers of the
// model are shown rows; tableRow() and viewRow() translate.
class RecordModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        DateColumn,
        LabelColumn,
        UrlColumn,
        ColumnCount
    };
    // Role of the exact bytes of a cell, as a QByteArray.
    static constexpr int BytesRole = Qt::UserRole + 1;

    // The colour of a row from its display URL, or none; asked whenever a row is drawn.
    using ColorRule = std::function<std::optional<QColor>(std::string_view url)>;

    explicit RecordModel(QObject* parent = nullptr);

    void setIcons(const QVector<QIcon>* icons) { m_icons = icons; }
    void setCodePage(int codePage) { m_codePage = codePage; }
    void setColorRule(ColorRule rule) { m_colorRule = std::move(rule); }

    // Replaces every row in one reset; the filter and the sort order stay.
    void setTable(RecordTable table);
    void clear();
    const RecordTable& table() const { return m_table; }

    // Removes the given rows (any order, duplicates allowed): one removal per run of adjacent
    // rows, or, when the rows fall into many runs, one pass and a reset. Returns true after a
    // reset (the view's selection is gone then).
    bool removeTableRows(std::vector<RecordTable::Row> rows);
    static constexpr std::size_t MaxRemovalRuns = 64;
    // After the log was rewritten: `lines` holds, for every row before the removal, where its
    // line starts now, or NotKept for a removed row; the rows that stay take theirs in order.
    void relocateRows(const std::vector<std::uint64_t>& lines, RecordTable::Origin origin);

    // Appends rows at the end of the list (in any sort order), those the filter lets through
    // shown at once; the rows shown before keep their places, selection and scroll position.
    void appendRows(const RecordTable& rows);

    // Shows only the rows the filter lets through.
    void setFilter(RecordFilter filter);
    const RecordFilter& filter() const { return m_filter; }
    // Sorts the shown rows by a column (the Date column as times, the others by their bytes;
    // equal rows keep file order), or back in file order with column -1.
    void sortRows(int column, Qt::SortOrder order = Qt::AscendingOrder);
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }
    // A click on a column's header: sorts by it, reverses on the second click and goes back to
    // file order on the third.
    void cycleSort(int column);

    // The rows of the listing, shown or not.
    std::size_t totalRows() const { return m_table.size(); }
    RecordTable::Row tableRow(int viewRow) const { return m_shown[std::size_t(viewRow)]; }
    // The model rows of table rows, -1 for one the filter hides.
    std::vector<int> viewRows(const std::vector<RecordTable::Row>& rows) const;
    // The time of a table row's date, or nothing when the date is not one.
    std::optional<qelt::LogTime> rowTime(RecordTable::Row row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    // The shown rows changed: a filter, a sort, a new listing or a deletion.
    void shownRowsChanged();

private:
    std::string_view cell(int row, int column) const;
    // Rebuilds m_sorted from the sort order and m_shown from it and the filter.
    void sortTable();
    // Whether a table row passes the filter.
    class RowTest;
    // narrowing: only the rows shown now can pass the new filter.
    void filterTable(bool narrowing = false);

    RecordTable m_table;
    // Per table row the time of its date, NoTime when it has none.
    std::vector<qelt::LogTime> m_times;
    // The table rows in sort order (empty: file order), and the shown ones among them.
    std::vector<std::uint32_t> m_sorted;
    std::vector<std::uint32_t> m_shown;
    RecordFilter m_filter;
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    const QVector<QIcon>* m_icons = nullptr;
    int m_codePage = 1251;
    ColorRule m_colorRule;
};
