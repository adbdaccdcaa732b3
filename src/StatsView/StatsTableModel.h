#pragma once

#include "logaccess/LogStats.h"

#include <QAbstractTableModel>

#include <memory>
#include <vector>

// The tables of the statistics window over counted numbers: the users, the hosts of the scope,
// or the connection types. Texts are decoded when shown; SortRole gives the raw value to sort
// by (numbers as numbers, dates in file order).
class StatsTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum class Table
    {
        Users,
        Hosts,
        Kinds
    };
    static constexpr int SortRole = Qt::UserRole;
    // The exact bytes of the user (and host) a row stands for, as QByteArray.
    static constexpr int UserRole = Qt::UserRole + 1;
    static constexpr int HostRole = Qt::UserRole + 2;

    StatsTableModel(Table table, int codePage, QObject* parent = nullptr);

    // Shows the numbers; hosts are those of HostTotals for the scope.
    void setStats(std::shared_ptr<const qelt::LogStats> stats, std::vector<qelt::HostTotal> hosts);
    Table table() const { return m_table; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QVariant userData(std::size_t row, int column, int role) const;
    QVariant hostData(std::size_t row, int column, int role) const;
    QVariant kindData(std::size_t row, int column, int role) const;
    QString date(qelt::LinePosition at) const;

    Table m_table;
    int m_codePage;
    std::shared_ptr<const qelt::LogStats> m_stats;
    std::vector<qelt::HostTotal> m_hosts;
    std::vector<std::size_t> m_kinds; // byKind slots that have requests
};
