#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One host node: the exact bytes of its text and the icon of its connection kind.
struct HostNode
{
    std::string text;
    int kind = 0;
    std::size_t lines = 0;   // the lines of the log it holds, when the index counted them
    std::size_t matches = 0; // of them, those find in the log matched
};

// One user node with its hosts in tree order.
struct UserNode
{
    std::string text;
    std::vector<HostNode> hosts;
    std::size_t lines = 0;
    std::size_t matches = 0;
    // Its row in the tree as shown, kept by the model so a host finds its parent at once.
    int row = 0;
    // The hosts shown, in the order shown: indices into hosts.
    std::vector<std::uint32_t> shown;
};

using UserNodes = std::vector<std::unique_ptr<UserNode>>;

// The matches of find in the log: per user text its count and per host text of it its count.
struct UserMatchCounts
{
    std::size_t count = 0;
    std::unordered_map<std::string, std::size_t> hosts;
};
using MatchCounts = std::unordered_map<std::string, UserMatchCounts>;

// The user tree of TreeView1: users at the top level, their hosts below. Every node keeps the
// exact bytes of its text, which listing and deleting match with; the view shows them decoded.
// A host index carries its user node as internal pointer, so indexes stay valid while
// other users are removed.
//
// The nodes are shown in log order, by name or by count, and while find in the log is on only
// the nodes with matches are shown; a change of either keeps the selection and what is expanded.
class LogTreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    // Role of the exact bytes of a node's text, as a QByteArray.
    static constexpr int BytesRole = Qt::UserRole + 1;
    // Role of a node's level: 0 user, 1 host.
    static constexpr int LevelRole = Qt::UserRole + 2;
    // Role of the number shown beside a node: its matches while find in the log is on, else the
    // lines it holds; an invalid QVariant when there is none to show.
    static constexpr int CountRole = Qt::UserRole + 3;

    enum class Order
    {
        Log,  // users in the order of their first line, hosts likewise
        Name, // by their bytes
        Count // most lines (or matches) first; equal counts in log order
    };

    explicit LogTreeModel(QObject* parent = nullptr);

    // The icons by image index; decode turns node bytes into the text shown.
    void setIcons(const QVector<QIcon>* icons) { m_icons = icons; }
    void setCodePage(int codePage) { m_codePage = codePage; }

    // Replaces every node in one reset.
    void setUsers(UserNodes users);
    void clear();

    void setOrder(Order order);
    Order order() const { return m_order; }
    // Shows only the nodes with matches, each with its number of them; nothing shows all again.
    void showMatches(std::optional<MatchCounts> matches);
    bool findActive() const { return m_findActive; }

    // The exact bytes of a node's text.
    std::string nodeText(const QModelIndex& index) const;
    // The exact bytes of the two texts that find a node's lines in its log, for listing and
    // for deleting alike.
    struct SearchTexts
    {
        std::string user;
        std::string host;
    };
    SearchTexts searchTexts(const QModelIndex& index) const;
    // 0 for a user node, 1 for a host node.
    static int level(const QModelIndex& index) { return index.parent().isValid() ? 1 : 0; }

    // Takes in the users and hosts of lines the log gained: new users at the end, new hosts at the
    // end of their users, as the log orders them; nodes known already add their counts.
    void appendNodes(UserNodes users);

    // Removes a node; a user's hosts go with it.
    void removeNode(const QModelIndex& index);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    UserNode* userAt(int row) const { return m_shown[static_cast<std::size_t>(row)]; }
    const HostNode* hostOf(const QModelIndex& index) const;
    std::string_view nodeView(const QModelIndex& index) const;
    // Rebuilds which nodes are shown and in what order.
    void arrange();
    // arrange() inside a layout change that moves the persistent indexes along.
    void rearrange();

    UserNodes m_users;              // in log order
    std::vector<UserNode*> m_shown; // the users shown, in the order shown
    Order m_order = Order::Log;
    bool m_findActive = false;
    const QVector<QIcon>* m_icons = nullptr;
    int m_codePage = 1251;
};
