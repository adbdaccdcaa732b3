#include "Unit1/RecordModel.h"

#include "logaccess/Deletion.h"
#include "widgets/DisplayText.h"
#include "widgets/ReadableColor.h"

#include <QColor>

#include <algorithm>

void RecordTable::reserve(std::size_t rows, std::size_t bytes)
{
    m_rows.reserve(rows);
    m_bytes.reserve(bytes);
}

void RecordTable::append(std::string_view date, std::string_view label, std::string_view url,
                         int icon, std::uint64_t line)
{
    // The label of a row is at most 17 bytes and a date 20; a URL is a line's tail.
    Span span{m_bytes.size(),
              line,
              static_cast<std::uint32_t>(date.size()),
              static_cast<std::uint32_t>(url.size()),
              static_cast<std::uint8_t>(std::min<std::size_t>(label.size(), 255)),
              static_cast<std::uint8_t>(icon)};
    m_bytes.append(date);
    m_bytes.append(label.substr(0, span.labelSize));
    m_bytes.append(url);
    m_rows.push_back(span);
}

std::string_view RecordTable::date(Row row) const
{
    const Span& s = m_rows[row];
    return std::string_view(m_bytes).substr(s.offset, s.dateSize);
}

std::string_view RecordTable::label(Row row) const
{
    const Span& s = m_rows[row];
    return std::string_view(m_bytes).substr(s.offset + s.dateSize, s.labelSize);
}

std::string_view RecordTable::url(Row row) const
{
    const Span& s = m_rows[row];
    return std::string_view(m_bytes).substr(s.offset + s.dateSize + s.labelSize, s.urlSize);
}

void RecordTable::erase(Row first, std::size_t count)
{
    const auto begin = m_rows.begin() + static_cast<std::ptrdiff_t>(first);
    m_rows.erase(begin, begin + static_cast<std::ptrdiff_t>(count));
    if (m_rows.empty())
        m_bytes.clear();
}

void RecordTable::eraseSorted(const std::vector<Row>& rows)
{
    std::size_t kept = 0;
    std::size_t next = 0;
    for (Row row = 0; row < m_rows.size(); ++row) {
        if (next < rows.size() && rows[next] == row) {
            ++next;
            continue;
        }
        m_rows[kept++] = m_rows[row];
    }
    m_rows.resize(kept);
    if (m_rows.empty())
        m_bytes.clear();
}

RecordModel::RecordModel(QObject* parent) : QAbstractTableModel(parent) {}

void RecordModel::setTable(RecordTable table)
{
    beginResetModel();
    m_table = std::move(table);
    endResetModel();
}

void RecordModel::clear()
{
    setTable({});
}

bool RecordModel::removeTableRows(std::vector<RecordTable::Row> rows)
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    while (!rows.empty() && rows.back() >= m_table.size())
        rows.pop_back();
    std::size_t runs = 0;
    for (std::size_t i = 0; i < rows.size(); ++i)
        runs += (i == 0 || rows[i - 1] + 1 != rows[i]) ? 1 : 0;
    // Each removal moves the rows after it; past a few runs one pass and a reset is cheaper.
    if (runs > MaxRemovalRuns) {
        beginResetModel();
        m_table.eraseSorted(rows);
        endResetModel();
        return true;
    }
    // From the bottom up, so the rows still to remove keep their numbers.
    std::size_t end = rows.size();
    while (end > 0) {
        std::size_t begin = end - 1;
        while (begin > 0 && rows[begin - 1] + 1 == rows[begin])
            --begin;
        const RecordTable::Row first = rows[begin];
        const std::size_t count = end - begin;
        beginRemoveRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
        m_table.erase(first, count);
        endRemoveRows();
        end = begin;
    }
    return false;
}

void RecordModel::relocateRows(const std::vector<std::uint64_t>& lines, RecordTable::Origin origin)
{
    RecordTable::Row row = 0;
    for (const std::uint64_t line : lines) {
        if (line != qelt::NotKept && row < m_table.size())
            m_table.setLine(row++, line);
    }
    m_table.setOrigin(std::move(origin));
}

int RecordModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_table.size());
}

int RecordModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

std::string_view RecordModel::cell(int row, int column) const
{
    const auto r = static_cast<RecordTable::Row>(row);
    switch (column) {
    case DateColumn:
        return m_table.date(r);
    case LabelColumn:
        return m_table.label(r);
    default:
        return m_table.url(r);
    }
}

QVariant RecordModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return DisplayTextElided(cell(index.row(), index.column()), m_codePage);
    case Qt::ToolTipRole:
        return ToolTipText(cell(index.row(), index.column()), m_codePage);
    case BytesRole:
        return ToByteArray(cell(index.row(), index.column()));
    case Qt::DecorationRole: {
        if (index.column() != DateColumn || !m_icons)
            return {};
        const int icon = m_table.icon(static_cast<RecordTable::Row>(index.row()));
        return icon >= 0 && icon < m_icons->size() ? QVariant(m_icons->at(icon)) : QVariant();
    }
    case Qt::BackgroundRole: {
        // Asked afresh at every paint, so edits in the filter manager show on the next repaint.
        if (!m_colorRule)
            return {};
        const auto color = m_colorRule(m_table.url(static_cast<RecordTable::Row>(index.row())));
        return color ? QVariant(*color) : QVariant();
    }
    case Qt::ForegroundRole: {
        // The text of a coloured row in black or white, whichever reads better on its colour.
        if (!m_colorRule)
            return {};
        const auto color = m_colorRule(m_table.url(static_cast<RecordTable::Row>(index.row())));
        return color ? QVariant(ReadableTextColor(*color)) : QVariant();
    }
    default:
        return {};
    }
}

QVariant RecordModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case DateColumn:
        return QStringLiteral("Date");
    case LabelColumn:
        return QStringLiteral("Connection Type");
    case UrlColumn:
        return QStringLiteral("URL");
    default:
        return {};
    }
}

Qt::ItemFlags RecordModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
