// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/TrayItem.hpp"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include "Corvane/Screens/AppBridge.hpp"

namespace corvane {

TrayItem::TrayItem(AppBridge& bridge, TrayIcon* icon, QObject* parent) : QObject(parent), bridge_(bridge), icon_(icon) {
    entries_.resize(quit + 1);
    // Status lines are text, not commands.
    for (Entry line : {statusLine, route, rates}) entries_[line].enabled = false;
    entries_[firstSeparator].separator = entries_[secondSeparator].separator = true;
    entries_[open].label = QStringLiteral("Open Corvane");
    entries_[quit].label = QStringLiteral("Quit");
    entries_[quit].shortcut = QKeySequence(Qt::CTRL | Qt::Key_Q);
    if (icon_) {
        icon_->activated = [this] { emit openRequested(); };
        icon_->triggered = [this](int entry) { trigger(entry); };
    }
    connect(&bridge_, &AppBridge::changed, this, &TrayItem::refresh);
    refresh();
}

// The icon may outlive the item: a click that arrives later must not reach it.
TrayItem::~TrayItem() {
    if (!icon_) return;
    icon_->activated = nullptr;
    icon_->triggered = nullptr;
}

void TrayItem::trigger(int entry) {
    // The menu a host shows may be older than the state: act only on what is enabled now.
    if (entry < 0 || entry >= entries_.size() || !entries_[entry].enabled || !entries_[entry].visible) return;
    switch (entry) {
    case toggle: bridge_.toggleConnection(); break;
    case open: emit openRequested(); break;
    case quit: emit quitRequested(); break;
    default: break;
    }
}

QIcon TrayItem::statusIcon(const QString& status) {
    QString path = QStringLiteral(":/Corvane/Screens/tray/tray-%1.svg").arg(status);
    if (!QFile::exists(path)) path = QStringLiteral(":/Corvane/Screens/tray/tray-disconnected.svg");
    QSvgRenderer renderer(path);
    // Drawn at each size a panel asks for, so no host scales a bitmap.
    QIcon icon;
    for (int size : {16, 22, 24, 32, 44, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void TrayItem::refresh() {
    entries_[statusLine].label = bridge_.trayStatusLine();
    entries_[route].label = bridge_.trayRoute();
    entries_[route].visible = !entries_[route].label.isEmpty();
    entries_[rates].label = bridge_.trayRates();
    entries_[rates].visible = !entries_[rates].label.isEmpty();
    entries_[toggle].label = bridge_.connectButtonText();
    entries_[toggle].enabled = bridge_.connectEnabled();
    if (!icon_) return;
    icon_->setMenu(entries_);
    const QString tip = bridge_.trayToolTip();
    const qsizetype lineEnd = tip.indexOf(QLatin1Char('\n'));
    icon_->setToolTip(tip.left(lineEnd), lineEnd < 0 ? QString() : tip.mid(lineEnd + 1));
    const QString status = bridge_.status();
    if (status != shownStatus_) {
        shownStatus_ = status;
        icon_->setIcon(statusIcon(status));
    }
}

}  // namespace corvane
