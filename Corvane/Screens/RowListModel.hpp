// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QVariantMap>

namespace corvane {

// A list of plain rows (one QVariantMap each, its keys the roles) for a QML
// view. Rows that did not change keep their delegates, so a control keeps its
// keyboard focus while the snapshots behind it keep arriving.
class RowListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    RowListModel(QList<QByteArray> roles, QObject* parent = nullptr);

    void setRows(QList<QVariantMap> rows);
    const QList<QVariantMap>& rows() const noexcept { return rows_; }
    int count() const noexcept { return static_cast<int>(rows_.size()); }
    Q_INVOKABLE QVariantMap get(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    QList<QByteArray> roles_;
    QList<QVariantMap> rows_;
};

}  // namespace corvane
