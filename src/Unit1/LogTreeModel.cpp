#include "Unit1/LogTreeModel.h"

#include "logaccess/RecordListing.h"
#include "widgets/DisplayText.h"

LogTreeModel::LogTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void LogTreeModel::setUsers(UserNodes users)
{
    beginResetModel();
    m_users = std::move(users);
    numberUsers(0);
    endResetModel();
}

void LogTreeModel::clear()
{
    setUsers({});
}

void LogTreeModel::numberUsers(std::size_t from)
{
    for (std::size_t row = from; row < m_users.size(); ++row)
        m_users[row]->row = static_cast<int>(row);
}

std::string LogTreeModel::nodeText(const QModelIndex& index) const
{
    return std::string(nodeView(index));
}

std::string_view LogTreeModel::nodeView(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return {};
    if (auto* user = static_cast<const UserNode*>(index.internalPointer()))
        return user->hosts[static_cast<std::size_t>(index.row())].text;
    return m_users[static_cast<std::size_t>(index.row())]->text;
}

LogTreeModel::SearchTexts LogTreeModel::searchTexts(const QModelIndex& index) const
{
    if (level(index) == 1)
        return {nodeText(index.parent()), nodeText(index)};
    std::string user = nodeText(index);
    const qelt::NodeSearchTexts texts = qelt::NodeSearchTexts::ForUser(user);
    return {std::move(user), std::string(texts.host)};
}

void LogTreeModel::removeNode(const QModelIndex& index)
{
    if (!index.isValid() || index.model() != this)
        return;
    const auto row = static_cast<std::size_t>(index.row());
    if (auto* user = static_cast<UserNode*>(index.internalPointer())) {
        beginRemoveRows(index.parent(), index.row(), index.row());
        user->hosts.erase(user->hosts.begin() + static_cast<std::ptrdiff_t>(row));
        endRemoveRows();
        return;
    }
    beginRemoveRows({}, index.row(), index.row());
    m_users.erase(m_users.begin() + static_cast<std::ptrdiff_t>(row));
    numberUsers(row);
    endRemoveRows();
}

QModelIndex LogTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column != 0)
        return {};
    if (!parent.isValid()) {
        if (static_cast<std::size_t>(row) >= m_users.size())
            return {};
        return createIndex(row, 0, nullptr);
    }
    if (parent.internalPointer() != nullptr)
        return {};
    UserNode* user = m_users[static_cast<std::size_t>(parent.row())].get();
    if (static_cast<std::size_t>(row) >= user->hosts.size())
        return {};
    return createIndex(row, 0, user);
}

QModelIndex LogTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    auto* user = static_cast<const UserNode*>(child.internalPointer());
    if (!user)
        return {};
    return createIndex(user->row, 0, nullptr);
}

int LogTreeModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return static_cast<int>(m_users.size());
    if (parent.column() != 0 || parent.internalPointer() != nullptr)
        return 0;
    return static_cast<int>(m_users[static_cast<std::size_t>(parent.row())]->hosts.size());
}

int LogTreeModel::columnCount(const QModelIndex&) const
{
    return 1;
}

QVariant LogTreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return DisplayTextElided(nodeView(index), m_codePage);
    case Qt::ToolTipRole:
        return ToolTipText(nodeView(index), m_codePage);
    case BytesRole:
        return ToByteArray(nodeView(index));
    case LevelRole:
        return level(index);
    case Qt::DecorationRole: {
        int image = 2;
        if (auto* user = static_cast<const UserNode*>(index.internalPointer()))
            image = user->hosts[static_cast<std::size_t>(index.row())].kind;
        if (m_icons && image >= 0 && image < m_icons->size())
            return m_icons->at(image);
        return {};
    }
    default:
        return {};
    }
}

Qt::ItemFlags LogTreeModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.internalPointer() != nullptr)
        result |= Qt::ItemNeverHasChildren;
    return result;
}
