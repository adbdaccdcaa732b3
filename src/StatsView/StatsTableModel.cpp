#include "StatsView/StatsTableModel.h"

#include "widgets/DisplayText.h"

#include <QLocale>

namespace {

QVariant number(qelt::RequestCount n, bool sort)
{
    return sort ? QVariant(qulonglong(n)) : QVariant(QLocale().toString(qulonglong(n)));
}

} // namespace

StatsTableModel::StatsTableModel(Table table, int codePage, QObject* parent)
    : QAbstractTableModel(parent), m_table(table), m_codePage(codePage)
{}

void StatsTableModel::setStats(std::shared_ptr<const qelt::LogStats> stats,
                               std::vector<qelt::HostTotal> hosts)
{
    beginResetModel();
    m_stats = std::move(stats);
    m_hosts = std::move(hosts);
    m_kinds.clear();
    if (m_stats) {
        for (std::size_t k = 0; k < qelt::KindSlots; ++k) {
            if (m_stats->scope.byKind[k] > 0)
                m_kinds.push_back(k);
        }
    }
    endResetModel();
}

int StatsTableModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || !m_stats)
        return 0;
    switch (m_table) {
    case Table::Users:
        return static_cast<int>(m_stats->users.size());
    case Table::Hosts:
        return static_cast<int>(m_hosts.size());
    case Table::Kinds:
        return static_cast<int>(m_kinds.size());
    }
    return 0;
}

int StatsTableModel::columnCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    switch (m_table) {
    case Table::Users:
        return 5;
    case Table::Hosts:
        return 6;
    case Table::Kinds:
        return 3;
    }
    return 0;
}

QVariant StatsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (m_table) {
    case Table::Users: {
        const QString captions[] = {tr("User"), tr("Requests"), tr("Hosts"), tr("First request"),
                                    tr("Last request")};
        return section >= 0 && section < 5 ? captions[section] : QVariant();
    }
    case Table::Hosts: {
        const QString captions[] = {tr("Host"),  tr("Type"),          tr("Requests"),
                                    tr("Users"), tr("First request"), tr("Last request")};
        return section >= 0 && section < 6 ? captions[section] : QVariant();
    }
    case Table::Kinds: {
        const QString captions[] = {tr("Connection type"), tr("Requests"), tr("Share")};
        return section >= 0 && section < 3 ? captions[section] : QVariant();
    }
    }
    return {};
}

QString StatsTableModel::date(qelt::LinePosition at) const
{
    return DisplayText(qelt::DateAt(*m_stats, at), m_codePage);
}

QVariant StatsTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !m_stats || index.row() >= rowCount())
        return {};
    const auto row = static_cast<std::size_t>(index.row());
    if (role == Qt::TextAlignmentRole) {
        const bool number =
            (m_table == Table::Users && (index.column() == 1 || index.column() == 2)) ||
            (m_table == Table::Hosts && (index.column() == 2 || index.column() == 3)) ||
            (m_table == Table::Kinds && index.column() > 0);
        return number ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
    }
    switch (m_table) {
    case Table::Users:
        return userData(row, index.column(), role);
    case Table::Hosts:
        return hostData(row, index.column(), role);
    case Table::Kinds:
        return kindData(row, index.column(), role);
    }
    return {};
}

QVariant StatsTableModel::userData(std::size_t row, int column, int role) const
{
    const qelt::UserStats& user = m_stats->users[row];
    if (role == UserRole)
        return ToByteArray(user.name);
    // A long name shown cut short can be read whole in its tooltip.
    if (role == Qt::ToolTipRole && column == 0)
        return DisplayText(user.name, m_codePage);
    if (role != Qt::DisplayRole && role != SortRole)
        return {};
    const bool sort = role == SortRole;
    switch (column) {
    case 0:
        return DisplayText(user.name, m_codePage);
    case 1:
        return number(user.requests, sort);
    case 2:
        return number(user.hostCount, sort);
    case 3:
        return sort ? QVariant(qulonglong(user.firstAt))
                    : QVariant(DisplayText(user.first, m_codePage));
    case 4:
        return sort ? QVariant(qulonglong(user.lastAt))
                    : QVariant(DisplayText(user.last, m_codePage));
    default:
        return {};
    }
}

QVariant StatsTableModel::hostData(std::size_t row, int column, int role) const
{
    const qelt::HostTotal& host = m_hosts[row];
    if (role == UserRole)
        return ToByteArray(host.firstUser);
    if (role == HostRole)
        return ToByteArray(host.host);
    if (role == Qt::ToolTipRole && column == 0)
        return DisplayText(host.host, m_codePage);
    if (role != Qt::DisplayRole && role != SortRole)
        return {};
    const bool sort = role == SortRole;
    switch (column) {
    case 0:
        return DisplayText(host.host, m_codePage);
    case 1:
        return QString::fromLatin1(qelt::KindSlotName(host.kind));
    case 2:
        return number(host.requests, sort);
    case 3:
        return number(host.users, sort);
    case 4:
        return sort ? QVariant(qulonglong(host.firstAt)) : QVariant(date(host.firstAt));
    case 5:
        return sort ? QVariant(qulonglong(host.lastAt)) : QVariant(date(host.lastAt));
    default:
        return {};
    }
}

QVariant StatsTableModel::kindData(std::size_t row, int column, int role) const
{
    if (role != Qt::DisplayRole && role != SortRole)
        return {};
    const std::size_t slot = m_kinds[row];
    const qelt::RequestCount requests = m_stats->scope.byKind[slot];
    const bool sort = role == SortRole;
    switch (column) {
    case 0:
        return slot == qelt::NoKindSlot ? tr("none")
                                        : QString::fromLatin1(qelt::KindSlotName(slot));
    case 1:
        return number(requests, sort);
    case 2: {
        const double share = m_stats->scope.requests
                                 ? 100.0 * double(requests) / double(m_stats->scope.requests)
                                 : 0.0;
        return sort ? QVariant(share) : QVariant(QStringLiteral("%1 %").arg(share, 0, 'f', 1));
    }
    default:
        return {};
    }
}
