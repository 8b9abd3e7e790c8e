#include "Corvane/Screens/TrayItem.hpp"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include "Corvane/Screens/AppBridge.hpp"

namespace corvane {

TrayItem::TrayItem(AppBridge& bridge, QObject* parent) : QObject(parent), bridge_(bridge) {
    // Status lines are text, not commands.
    statusLine_ = menu_.addAction(QString());
    statusLine_->setEnabled(false);
    route_ = menu_.addAction(QString());
    route_->setEnabled(false);
    rates_ = menu_.addAction(QString());
    rates_->setEnabled(false);
    menu_.addSeparator();
    toggle_ = menu_.addAction(QString());
    connect(toggle_, &QAction::triggered, &bridge_, &AppBridge::toggleConnection);
    menu_.addSeparator();
    open_ = menu_.addAction(QStringLiteral("Open Corvane"));
    connect(open_, &QAction::triggered, this, &TrayItem::openRequested);
    quit_ = menu_.addAction(QStringLiteral("Quit"));
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit_, &QAction::triggered, this, &TrayItem::quitRequested);

    icon_.setContextMenu(&menu_);
    // A click on the icon itself opens the window, as "Open Corvane" does.
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit openRequested();
    });
    connect(&bridge_, &AppBridge::changed, this, &TrayItem::refresh);
    refresh();
}

TrayItem::~TrayItem() { icon_.setContextMenu(nullptr); }

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
    statusLine_->setText(bridge_.trayStatusLine());
    const QString route = bridge_.trayRoute();
    route_->setText(route);
    route_->setVisible(!route.isEmpty());
    const QString rates = bridge_.trayRates();
    rates_->setText(rates);
    rates_->setVisible(!rates.isEmpty());
    toggle_->setText(bridge_.connectButtonText());
    toggle_->setEnabled(bridge_.connectEnabled());
    if (icon_.toolTip() != bridge_.trayToolTip()) icon_.setToolTip(bridge_.trayToolTip());
    const QString status = bridge_.status();
    if (status != shownStatus_) {
        shownStatus_ = status;
        icon_.setIcon(statusIcon(status));
    }
}

}  // namespace corvane
