#pragma once

#include <QAbstractProxyModel>
#include <QCollator>
#include <QList>
#include <QPersistentModelIndex>
#include <QSortFilterProxyModel>

#include <unordered_map>
#include <vector>

class Computer;
class Roster;

// The class in the order the teacher sees it: by the address text as the
// locale compares it (10.0.0.10 before 10.0.0.2), one address's computers
// in the order they came. The computer list, the tiles and the group walk
// all take this order.
class ClassOrder : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit ClassOrder(Roster &roster, QObject *parent = nullptr);

    Computer *computerAt(int row) const;
    int rowOf(const Computer *computer) const;
    // Every computer, in this order.
    std::vector<Computer *> computers() const;

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    const QString &addressText(const Computer *computer) const;

    Roster &m_roster;
    QCollator m_collator;
    // Each computer's address as text, made once: a change of any row
    // compares it with its neighbours. (Not the collator's sort keys: on
    // Windows they are made with bytes left unset, so equal addresses could
    // compare unequal.)
    mutable std::unordered_map<const Computer *, QString> m_addressTexts;
};

// Shows a list model's roles side by side, one column each, with their
// captions: what a report-style list of the class reads.
class RoleColumns : public QAbstractProxyModel
{
    Q_OBJECT
public:
    struct Column
    {
        QString caption;
        int role;
    };

    RoleColumns(const QList<Column> &columns, QObject *parent = nullptr);

    void setSourceModel(QAbstractItemModel *source) override;
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QModelIndex mapToSource(const QModelIndex &proxy) const override;
    QModelIndex mapFromSource(const QModelIndex &source) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void forwardDataChanged(const QModelIndex &top, const QModelIndex &bottom,
                            const QList<int> &roles);
    void forwardLayoutAboutToChange();
    void forwardLayoutChanged();

    QList<Column> m_columns;
    QList<QPersistentModelIndex> m_layoutProxy;
    QList<QPersistentModelIndex> m_layoutSource;
};
