#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QVector>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One host node: the exact bytes of its text and the icon of its connection kind.
struct HostNode
{
    std::string text;
    int kind = 0;
};

// One user node with its hosts in tree order.
struct UserNode
{
    std::string text;
    std::vector<HostNode> hosts;
    // Its row in the tree, kept by the model so a host finds its parent at once.
    int row = 0;
};

using UserNodes = std::vector<std::unique_ptr<UserNode>>;

// The user tree of TreeView1: users at the top level, their hosts below. Every node keeps the
// exact bytes of its text, which listing and deleting match with; the view shows them decoded.
// A host index carries its user node as internal pointer, so indexes stay valid while
// other users are removed.
class LogTreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    // Role of the exact bytes of a node's text, as a QByteArray.
    static constexpr int BytesRole = Qt::UserRole + 1;
    // Role of a node's level: 0 user, 1 host.
    static constexpr int LevelRole = Qt::UserRole + 2;

    explicit LogTreeModel(QObject* parent = nullptr);

    // The icons by image index; decode turns node bytes into the text shown.
    void setIcons(const QVector<QIcon>* icons) { m_icons = icons; }
    void setCodePage(int codePage) { m_codePage = codePage; }

    // Replaces every node in one reset.
    void setUsers(UserNodes users);
    void clear();

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

    // Removes a node; a user's hosts go with it.
    void removeNode(const QModelIndex& index);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void numberUsers(std::size_t from);
    std::string_view nodeView(const QModelIndex& index) const;

    UserNodes m_users;
    const QVector<QIcon>* m_icons = nullptr;
    int m_codePage = 1251;
};
