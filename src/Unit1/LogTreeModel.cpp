#include "Unit1/LogTreeModel.h"

#include "logaccess/RecordListing.h"
#include "widgets/DisplayText.h"

#include <algorithm>
#include <numeric>

LogTreeModel::LogTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void LogTreeModel::setUsers(UserNodes users)
{
    beginResetModel();
    m_users = std::move(users);
    // A new tree has no matches counted yet.
    m_findActive = false;
    arrange();
    endResetModel();
}

void LogTreeModel::clear()
{
    setUsers({});
}

void LogTreeModel::arrange()
{
    const auto count = [this](std::size_t lines, std::size_t matches) {
        return m_findActive ? matches : lines;
    };
    m_shown.clear();
    for (const auto& user : m_users) {
        if (!m_findActive || user->matches > 0)
            m_shown.push_back(user.get());
        user->shown.clear();
        for (std::size_t h = 0; h < user->hosts.size(); ++h) {
            if (!m_findActive || user->hosts[h].matches > 0)
                user->shown.push_back(static_cast<std::uint32_t>(h));
        }
        const std::vector<HostNode>& hosts = user->hosts;
        if (m_order == Order::Name) {
            std::stable_sort(
                user->shown.begin(), user->shown.end(),
                [&](std::uint32_t a, std::uint32_t b) { return hosts[a].text < hosts[b].text; });
        } else if (m_order == Order::Count) {
            std::stable_sort(user->shown.begin(), user->shown.end(),
                             [&](std::uint32_t a, std::uint32_t b) {
                                 return count(hosts[a].lines, hosts[a].matches) >
                                        count(hosts[b].lines, hosts[b].matches);
                             });
        }
    }
    if (m_order == Order::Name) {
        std::stable_sort(m_shown.begin(), m_shown.end(),
                         [](const UserNode* a, const UserNode* b) { return a->text < b->text; });
    } else if (m_order == Order::Count) {
        std::stable_sort(m_shown.begin(), m_shown.end(), [&](const UserNode* a, const UserNode* b) {
            return count(a->lines, a->matches) > count(b->lines, b->matches);
        });
    }
    for (std::size_t row = 0; row < m_shown.size(); ++row)
        m_shown[row]->row = static_cast<int>(row);
}

void LogTreeModel::rearrange()
{
    emit layoutAboutToBeChanged();
    // Who every persistent index stands for: its user, and its host or -1.
    const QModelIndexList before = persistentIndexList();
    std::vector<std::pair<UserNode*, long>> nodes;
    nodes.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        if (auto* user = static_cast<UserNode*>(index.internalPointer()))
            nodes.emplace_back(user, long(user->shown[static_cast<std::size_t>(index.row())]));
        else
            nodes.emplace_back(userAt(index.row()), -1L);
    }
    arrange();
    QModelIndexList after;
    after.reserve(before.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        UserNode* user = nodes[i].first;
        const bool userShown = std::find(m_shown.begin(), m_shown.end(), user) != m_shown.end();
        if (!userShown) {
            after.append(QModelIndex());
        } else if (nodes[i].second < 0) {
            after.append(createIndex(user->row, before[int(i)].column(), nullptr));
        } else {
            const auto it = std::find(user->shown.begin(), user->shown.end(),
                                      static_cast<std::uint32_t>(nodes[i].second));
            after.append(it == user->shown.end() ? QModelIndex()
                                                 : createIndex(int(it - user->shown.begin()),
                                                               before[int(i)].column(), user));
        }
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

void LogTreeModel::setOrder(Order order)
{
    if (order == m_order)
        return;
    m_order = order;
    rearrange();
}

void LogTreeModel::showMatches(std::optional<MatchCounts> matches)
{
    for (const auto& user : m_users) {
        const UserMatchCounts* found = nullptr;
        if (matches) {
            const auto it = matches->find(user->text);
            found = it == matches->end() ? nullptr : &it->second;
        }
        user->matches = found ? found->count : 0;
        for (HostNode& host : user->hosts) {
            host.matches = 0;
            if (found) {
                const auto h = found->hosts.find(host.text);
                host.matches = h == found->hosts.end() ? 0 : h->second;
            }
        }
    }
    m_findActive = matches.has_value();
    rearrange();
    // The counts shown change with the matches.
    if (!m_shown.empty())
        emit dataChanged(index(0, 0), index(int(m_shown.size()) - 1, 0), {CountRole});
}

void LogTreeModel::appendNodes(UserNodes users)
{
    std::unordered_map<std::string_view, UserNode*> known;
    for (const auto& user : m_users)
        known.emplace(user->text, user.get());
    for (auto& fresh : users) {
        const auto it = known.find(fresh->text);
        if (it == known.end()) {
            UserNode* user = fresh.get();
            user->shown.clear();
            for (std::size_t h = 0; h < user->hosts.size(); ++h)
                user->shown.push_back(static_cast<std::uint32_t>(h));
            m_users.push_back(std::move(fresh));
            known.emplace(user->text, user);
            // Nodes without matches counted stay hidden while find in the log is on.
            if (m_findActive)
                continue;
            const int row = static_cast<int>(m_shown.size());
            beginInsertRows({}, row, row);
            user->row = row;
            m_shown.push_back(user);
            endInsertRows();
            continue;
        }
        UserNode* user = it->second;
        user->lines += fresh->lines;
        // The views below point into the hosts: room first, so that no host moves.
        user->hosts.reserve(user->hosts.size() + fresh->hosts.size());
        std::unordered_map<std::string_view, std::size_t> hosts;
        for (std::size_t h = 0; h < user->hosts.size(); ++h)
            hosts.emplace(user->hosts[h].text, h);
        const bool shown = std::find(m_shown.begin(), m_shown.end(), user) != m_shown.end();
        for (HostNode& host : fresh->hosts) {
            const auto h = hosts.find(host.text);
            if (h != hosts.end()) {
                user->hosts[h->second].lines += host.lines;
                continue;
            }
            user->hosts.push_back(std::move(host));
            hosts.emplace(user->hosts.back().text, user->hosts.size() - 1);
            if (m_findActive || !shown)
                continue;
            const QModelIndex parent = createIndex(user->row, 0, nullptr);
            const int row = static_cast<int>(user->shown.size());
            beginInsertRows(parent, row, row);
            user->shown.push_back(static_cast<std::uint32_t>(user->hosts.size() - 1));
            endInsertRows();
        }
    }
    // Ordered by name or count, the new nodes take their places.
    if (m_order != Order::Log)
        rearrange();
    if (!m_shown.empty())
        emit dataChanged(index(0, 0), index(int(m_shown.size()) - 1, 0), {CountRole});
}

const HostNode* LogTreeModel::hostOf(const QModelIndex& index) const
{
    auto* user = static_cast<const UserNode*>(index.internalPointer());
    if (!user)
        return nullptr;
    return &user->hosts[user->shown[static_cast<std::size_t>(index.row())]];
}

std::string LogTreeModel::nodeText(const QModelIndex& index) const
{
    return std::string(nodeView(index));
}

std::string_view LogTreeModel::nodeView(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return {};
    if (const HostNode* host = hostOf(index))
        return host->text;
    return userAt(index.row())->text;
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
        const std::uint32_t gone = user->shown[row];
        user->hosts.erase(user->hosts.begin() + static_cast<std::ptrdiff_t>(gone));
        user->shown.erase(user->shown.begin() + static_cast<std::ptrdiff_t>(row));
        for (std::uint32_t& h : user->shown)
            h -= h > gone ? 1 : 0;
        endRemoveRows();
        return;
    }
    beginRemoveRows({}, index.row(), index.row());
    UserNode* user = userAt(index.row());
    m_shown.erase(m_shown.begin() + static_cast<std::ptrdiff_t>(row));
    for (std::size_t r = row; r < m_shown.size(); ++r)
        m_shown[r]->row = static_cast<int>(r);
    m_users.erase(
        std::find_if(m_users.begin(), m_users.end(),
                     [user](const std::unique_ptr<UserNode>& u) { return u.get() == user; }));
    endRemoveRows();
}

QModelIndex LogTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column != 0)
        return {};
    if (!parent.isValid()) {
        if (static_cast<std::size_t>(row) >= m_shown.size())
            return {};
        return createIndex(row, 0, nullptr);
    }
    if (parent.internalPointer() != nullptr)
        return {};
    UserNode* user = userAt(parent.row());
    if (static_cast<std::size_t>(row) >= user->shown.size())
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
        return static_cast<int>(m_shown.size());
    if (parent.column() != 0 || parent.internalPointer() != nullptr)
        return 0;
    return static_cast<int>(userAt(parent.row())->shown.size());
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
    case CountRole: {
        const HostNode* host = hostOf(index);
        const std::size_t lines = host ? host->lines : userAt(index.row())->lines;
        const std::size_t matches = host ? host->matches : userAt(index.row())->matches;
        if (m_findActive)
            return QVariant::fromValue<qulonglong>(matches);
        return lines > 0 ? QVariant::fromValue<qulonglong>(lines) : QVariant();
    }
    case Qt::DecorationRole: {
        int image = 2;
        if (const HostNode* host = hostOf(index))
            image = host->kind;
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
