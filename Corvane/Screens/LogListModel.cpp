// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/LogListModel.hpp"

#include <utility>

#include "CorvaneCore/Diagnostics/LogRing.hpp"

namespace corvane {

LogListModel::LogListModel(QObject* parent) : QAbstractListModel(parent) {}

QString LogListModel::kind(std::string_view level) {
    switch (LogRing::rank(level)) {
    case 0:
    case 1: return QStringLiteral("debug");
    case 2: return QStringLiteral("info");
    case 3: return QStringLiteral("warn");
    default: return QStringLiteral("error");
    }
}

bool LogListModel::passes(const TunnelIPC::SequencedLine& line, int filter, const QString& search) {
    const int rank = LogRing::rank(line.line.level);
    if (filter == WarnAndAbove && rank < 3) return false;
    if (filter == ErrorOnly && rank < 4) return false;
    if (search.isEmpty()) return true;
    return QString::fromStdString(line.line.message).contains(search, Qt::CaseInsensitive) ||
           QString::fromStdString(line.line.target).contains(search, Qt::CaseInsensitive);
}

void LogListModel::setLines(Lines lines) {
    if (lines == lines_) return;
    // The shown rows point into the previous list: keep it until they are moved over.
    const Lines previous = std::exchange(lines_, std::move(lines));
    update(false);
}

void LogListModel::setFilter(int filter) {
    if (filter == filter_) return;
    filter_ = filter;
    update(true);
}

void LogListModel::setSearch(const QString& text) {
    if (text == search_) return;
    search_ = text;
    update(true);
}

void LogListModel::clearShown() {
    if (lines_ && !lines_->empty()) clearedThrough_ = lines_->back().seq;
    update(true);
}

void LogListModel::update(bool rebuild) {
    std::vector<const TunnelIPC::SequencedLine*> next;
    if (lines_) {
        for (const auto& line : *lines_) {
            if (line.seq > clearedThrough_ && passes(line, filter_, search_)) next.push_back(&line);
        }
    }
    const int before = count();
    // Lines only come and go at the ends while the sequence numbers rise: remove
    // the ones that fell off the front, then append the new ones.
    auto seqOf = [](const TunnelIPC::SequencedLine* l) { return l->seq; };
    bool incremental = !rebuild && !shown_.empty() && !next.empty();
    std::size_t dropped = 0;
    if (incremental) {
        while (dropped < shown_.size() && seqOf(shown_[dropped]) < seqOf(next.front())) ++dropped;
        const std::size_t kept = shown_.size() - dropped;
        incremental = kept <= next.size();
        for (std::size_t i = 0; incremental && i < kept; ++i) {
            incremental = seqOf(shown_[dropped + i]) == seqOf(next[i]);
        }
    }
    if (!incremental) {
        beginResetModel();
        shown_ = std::move(next);
        endResetModel();
    } else {
        if (dropped > 0) {
            beginRemoveRows({}, 0, static_cast<int>(dropped) - 1);
            shown_.erase(shown_.begin(), shown_.begin() + static_cast<std::ptrdiff_t>(dropped));
            endRemoveRows();
        }
        // The kept rows now point into the new list.
        for (std::size_t i = 0; i < shown_.size(); ++i) shown_[i] = next[i];
        if (next.size() > shown_.size()) {
            beginInsertRows({}, static_cast<int>(shown_.size()), static_cast<int>(next.size()) - 1);
            shown_ = std::move(next);
            endInsertRows();
        }
    }
    if (count() != before) emit countChanged();
}

QString LogListModel::text() const {
    QString out;
    for (const auto* l : shown_) {
        out += QString::fromStdString(l->line.ts + " " + l->line.level + " " +
                                      (l->line.target.empty() ? "" : l->line.target + ": ") + l->line.message);
        out += u'\n';
    }
    return out;
}

int LogListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count(); }

QVariant LogListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) return {};
    const auto& l = *shown_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case SeqRole: return QVariant::fromValue(static_cast<qlonglong>(l.seq));
    case TimeRole: return QString::fromStdString(l.line.ts);
    case LevelRole: return QString::fromStdString(l.line.level);
    case KindRole: return kind(l.line.level);
    case TargetRole: return QString::fromStdString(l.line.target);
    case MessageRole: return QString::fromStdString(l.line.message);
    default: return {};
    }
}

QHash<int, QByteArray> LogListModel::roleNames() const {
    return {{SeqRole, "seq"},       {TimeRole, "time"},     {LevelRole, "level"},
            {KindRole, "kind"},     {TargetRole, "target"}, {MessageRole, "message"}};
}

}  // namespace corvane
