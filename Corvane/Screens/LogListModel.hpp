// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <vector>

#include <QAbstractListModel>
#include <QString>

#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

namespace corvane {

// The log drawer's lines: the model's log lines through the drawer's level
// filter and text search. New lines are appended and dropped ones removed row
// by row, so a growing log does not rebuild the view.
class LogListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    using Lines = std::shared_ptr<const std::vector<TunnelIPC::SequencedLine>>;
    enum Filter { All = 0, WarnAndAbove = 1, ErrorOnly = 2 };
    enum Role { SeqRole = Qt::UserRole, TimeRole, LevelRole, KindRole, TargetRole, MessageRole };

    explicit LogListModel(QObject* parent = nullptr);

    void setLines(Lines lines);
    void setFilter(int filter);
    void setSearch(const QString& text);
    // Hides every line received so far; later lines show again.
    void clearShown();
    int count() const noexcept { return static_cast<int>(shown_.size()); }
    // The shown lines as text, one a line, for the clipboard.
    QString text() const;

    // "error", "warn", "info" or "debug": how a row is coloured.
    static QString kind(std::string_view level);
    static bool passes(const TunnelIPC::SequencedLine& line, int filter, const QString& search);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    void update(bool rebuild);

    Lines lines_;
    std::vector<const TunnelIPC::SequencedLine*> shown_;  // into *lines_
    int filter_ = All;
    QString search_;
    std::int64_t clearedThrough_ = -1;
};

}  // namespace corvane
