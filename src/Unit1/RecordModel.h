#pragma once

#include "logaccess/LogRewrite.h"

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

// The model of ListView1: one row per listed request, the three columns "Date", "Connection
// Type" and "URL", the row's icon in the first column and its filter colour as background.
// Texts are decoded only when a row is shown; matching and deleting use the exact bytes.
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

    // Replaces every row in one reset.
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

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::string_view cell(int row, int column) const;

    RecordTable m_table;
    const QVector<QIcon>* m_icons = nullptr;
    int m_codePage = 1251;
    ColorRule m_colorRule;
};
