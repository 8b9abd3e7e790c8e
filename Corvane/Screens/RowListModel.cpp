// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/RowListModel.hpp"

namespace corvane {

RowListModel::RowListModel(QList<QByteArray> roles, QObject* parent)
    : QAbstractListModel(parent), roles_(std::move(roles)) {}

void RowListModel::setRows(QList<QVariantMap> rows) {
    const auto oldCount = rows_.size();
    if (rows.size() == oldCount) {
        for (qsizetype i = 0; i < rows.size(); ++i) {
            if (rows[i] != rows_[i]) {
                rows_[i] = std::move(rows[i]);
                emit dataChanged(index(static_cast<int>(i)), index(static_cast<int>(i)));
            }
        }
        return;
    }
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    emit countChanged();
}

QVariantMap RowListModel::get(int row) const {
    return row >= 0 && row < rows_.size() ? rows_[row] : QVariantMap{};
}

int RowListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant RowListModel::data(const QModelIndex& index, int role) const {
    const int column = role - Qt::UserRole;
    if (!index.isValid() || index.row() >= rows_.size() || column < 0 || column >= roles_.size()) return {};
    return rows_[index.row()].value(QString::fromUtf8(roles_[column]));
}

QHash<int, QByteArray> RowListModel::roleNames() const {
    QHash<int, QByteArray> names;
    for (int i = 0; i < roles_.size(); ++i) names.insert(Qt::UserRole + i, roles_[i]);
    return names;
}

}  // namespace corvane
