#include "Unit1/RecordModel.h"

#include "logaccess/Deletion.h"
#include "logaccess/TextSearch.h"
#include "widgets/DisplayText.h"
#include "widgets/ReadableColor.h"

#include <QColor>

#include <algorithm>
#include <limits>
#include <numeric>

namespace {

// The time of a row whose date is none: before every real time, so such rows sort first.
constexpr qelt::LogTime NoTime = std::numeric_limits<qelt::LogTime>::min();

} // namespace

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

void RecordTable::appendTable(const RecordTable& other)
{
    const std::uint64_t base = m_bytes.size();
    m_bytes.append(other.m_bytes);
    m_rows.reserve(m_rows.size() + other.m_rows.size());
    for (Span span : other.m_rows) {
        span.offset += base;
        m_rows.push_back(span);
    }
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
    m_times.resize(m_table.size());
    for (RecordTable::Row row = 0; row < m_table.size(); ++row)
        m_times[row] = qelt::ParseLogTime(m_table.date(row)).value_or(NoTime);
    sortTable();
    filterTable();
    endResetModel();
    emit shownRowsChanged();
}

void RecordModel::clear()
{
    setTable({});
}

std::optional<qelt::LogTime> RecordModel::rowTime(RecordTable::Row row) const
{
    if (row >= m_times.size() || m_times[row] == NoTime)
        return std::nullopt;
    return m_times[row];
}

void RecordModel::sortTable()
{
    m_sorted.clear();
    if (m_sortColumn < 0)
        return;
    m_sorted.resize(m_table.size());
    std::iota(m_sorted.begin(), m_sorted.end(), 0u);
    const auto sortBy = [this](auto less) {
        // Equal rows keep file order both ways: reversing swaps the arguments, not the result.
        if (m_sortOrder == Qt::AscendingOrder)
            std::stable_sort(m_sorted.begin(), m_sorted.end(), less);
        else
            std::stable_sort(m_sorted.begin(), m_sorted.end(),
                             [&less](std::uint32_t a, std::uint32_t b) { return less(b, a); });
    };
    switch (m_sortColumn) {
    case DateColumn:
        sortBy([this](std::uint32_t a, std::uint32_t b) { return m_times[a] < m_times[b]; });
        break;
    case LabelColumn:
        sortBy([this](std::uint32_t a, std::uint32_t b) {
            return m_table.label(a) < m_table.label(b);
        });
        break;
    default:
        sortBy(
            [this](std::uint32_t a, std::uint32_t b) { return m_table.url(a) < m_table.url(b); });
        break;
    }
}

namespace {

// Whether every row that passes `next` passes `previous` as well, so that the rows shown now are
// the only ones `next` needs to look at: a URL text grown by the keys typed, a range narrowed.
bool Narrows(const RecordFilter& next, const RecordFilter& previous)
{
    const auto within = [](const std::optional<qelt::LogTime>& bound,
                           const std::optional<qelt::LogTime>& old, bool lower) {
        if (!old)
            return true;
        return bound && (lower ? *bound >= *old : *bound <= *old);
    };
    return next.find == previous.find &&
           qelt::NoCaseFinder(previous.url).size() <= next.url.size() &&
           (previous.url.empty() || qelt::NoCaseFinder(previous.url).in(next.url)) &&
           within(next.from, previous.from, true) && within(next.to, previous.to, false);
}

} // namespace

class RecordModel::RowTest
{
public:
    explicit RowTest(const RecordModel& model)
        : m_model(model), m_url(model.m_filter.url), m_find(model.m_filter.find),
          m_from(model.m_filter.from.value_or(NoTime)),
          m_to(model.m_filter.to.value_or(std::numeric_limits<qelt::LogTime>::max())),
          m_timed(model.m_filter.from || model.m_filter.to)
    {}
    bool operator()(std::uint32_t row) const
    {
        const qelt::LogTime time = m_model.m_times[row];
        if (m_timed && (time == NoTime || time < m_from || time > m_to))
            return false;
        if (!m_url.empty() && !m_url.in(m_model.m_table.url(row)))
            return false;
        return m_find.empty() || m_find.in(m_model.m_table.url(row));
    }

private:
    const RecordModel& m_model;
    const qelt::NoCaseFinder m_url;
    const qelt::NoCaseFinder m_find;
    const qelt::LogTime m_from;
    const qelt::LogTime m_to;
    const bool m_timed;
};

void RecordModel::filterTable(bool narrowing)
{
    const std::size_t total = narrowing ? m_shown.size() : m_table.size();
    std::vector<std::uint32_t> candidates;
    if (narrowing)
        candidates.swap(m_shown);
    m_shown.clear();
    m_shown.reserve(m_filter.active() ? 0 : total);
    const RowTest passes(*this);
    for (std::size_t i = 0; i < total; ++i) {
        const auto row = narrowing          ? candidates[i]
                         : m_sorted.empty() ? static_cast<std::uint32_t>(i)
                                            : m_sorted[i];
        if (passes(row))
            m_shown.push_back(row);
    }
}

void RecordModel::appendRows(const RecordTable& rows)
{
    const auto first = static_cast<std::uint32_t>(m_table.size());
    m_table.appendTable(rows);
    m_times.resize(m_table.size());
    std::vector<std::uint32_t> passing;
    const RowTest passes(*this);
    for (std::uint32_t row = first; row < m_table.size(); ++row) {
        m_times[row] = qelt::ParseLogTime(m_table.date(row)).value_or(NoTime);
        if (m_sortColumn >= 0)
            m_sorted.push_back(row);
        if (passes(row))
            passing.push_back(row);
    }
    if (!passing.empty()) {
        const int at = static_cast<int>(m_shown.size());
        beginInsertRows({}, at, at + static_cast<int>(passing.size()) - 1);
        m_shown.insert(m_shown.end(), passing.begin(), passing.end());
        endInsertRows();
    }
    emit shownRowsChanged();
}

void RecordModel::setFilter(RecordFilter filter)
{
    if (filter == m_filter)
        return;
    const bool narrowing = Narrows(filter, m_filter);
    beginResetModel();
    m_filter = std::move(filter);
    filterTable(narrowing);
    endResetModel();
    emit shownRowsChanged();
}

void RecordModel::sortRows(int column, Qt::SortOrder order)
{
    beginResetModel();
    m_sortColumn = column >= 0 && column < ColumnCount ? column : -1;
    m_sortOrder = order;
    sortTable();
    filterTable();
    endResetModel();
    emit shownRowsChanged();
}

void RecordModel::cycleSort(int column)
{
    if (column != m_sortColumn)
        sortRows(column, Qt::AscendingOrder);
    else if (m_sortOrder == Qt::AscendingOrder)
        sortRows(column, Qt::DescendingOrder);
    else
        sortRows(-1);
}

std::vector<int> RecordModel::viewRows(const std::vector<RecordTable::Row>& rows) const
{
    std::vector<int> inverse(m_table.size(), -1);
    for (std::size_t i = 0; i < m_shown.size(); ++i)
        inverse[m_shown[i]] = static_cast<int>(i);
    std::vector<int> out;
    out.reserve(rows.size());
    for (RecordTable::Row row : rows)
        out.push_back(row < inverse.size() ? inverse[row] : -1);
    return out;
}

bool RecordModel::removeTableRows(std::vector<RecordTable::Row> rows)
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    while (!rows.empty() && rows.back() >= m_table.size())
        rows.pop_back();
    if (rows.empty())
        return false;
    // The new number of every table row, and the model rows that go.
    std::vector<bool> gone(m_table.size(), false);
    for (RecordTable::Row row : rows)
        gone[row] = true;
    std::vector<std::uint32_t> renumber(m_table.size());
    std::uint32_t kept = 0;
    for (std::size_t row = 0; row < m_table.size(); ++row) {
        renumber[row] = kept;
        kept += gone[row] ? 0 : 1;
    }
    std::vector<int> goneRows;
    for (std::size_t i = 0; i < m_shown.size(); ++i) {
        if (gone[m_shown[i]])
            goneRows.push_back(static_cast<int>(i));
    }
    const auto dropTableRows = [&] {
        m_table.eraseSorted(rows);
        std::size_t t = 0;
        for (std::size_t row = 0; row < m_times.size(); ++row) {
            if (!gone[row])
                m_times[t++] = m_times[row];
        }
        m_times.resize(t);
        const auto update = [&](std::vector<std::uint32_t>& order) {
            std::size_t n = 0;
            for (const std::uint32_t row : order) {
                if (!gone[row])
                    order[n++] = renumber[row];
            }
            order.resize(n);
        };
        update(m_sorted);
        update(m_shown);
    };
    std::size_t runs = 0;
    for (std::size_t i = 0; i < goneRows.size(); ++i)
        runs += (i == 0 || goneRows[i - 1] + 1 != goneRows[i]) ? 1 : 0;
    // Each removal moves the rows after it; past a few runs one pass and a reset is cheaper.
    if (runs > MaxRemovalRuns) {
        beginResetModel();
        dropTableRows();
        endResetModel();
        emit shownRowsChanged();
        return true;
    }
    // From the bottom up, so the rows still to remove keep their numbers. The table keeps the
    // rows until all are out of the model, so that every row shown meanwhile is still there.
    std::size_t end = goneRows.size();
    while (end > 0) {
        std::size_t begin = end - 1;
        while (begin > 0 && goneRows[begin - 1] + 1 == goneRows[begin])
            --begin;
        const int first = goneRows[begin];
        const int last = goneRows[end - 1];
        beginRemoveRows({}, first, last);
        m_shown.erase(m_shown.begin() + first, m_shown.begin() + last + 1);
        endRemoveRows();
        end = begin;
    }
    dropTableRows();
    emit shownRowsChanged();
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
    return parent.isValid() ? 0 : static_cast<int>(m_shown.size());
}

int RecordModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

std::string_view RecordModel::cell(int row, int column) const
{
    const RecordTable::Row r = tableRow(row);
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
        const int icon = m_table.icon(tableRow(index.row()));
        return icon >= 0 && icon < m_icons->size() ? QVariant(m_icons->at(icon)) : QVariant();
    }
    case Qt::BackgroundRole: {
        // Asked afresh at every paint, so edits in the filter manager show on the next repaint.
        if (!m_colorRule)
            return {};
        const auto color = m_colorRule(m_table.url(tableRow(index.row())));
        return color ? QVariant(*color) : QVariant();
    }
    case Qt::ForegroundRole: {
        // The text of a coloured row in black or white, whichever reads better on its colour.
        if (!m_colorRule)
            return {};
        const auto color = m_colorRule(m_table.url(tableRow(index.row())));
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
        return tr("Date");
    case LabelColumn:
        return tr("Connection Type");
    case UrlColumn:
        return tr("URL");
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
