// SPDX-License-Identifier: GPL-3.0-or-later
// The tray icon for desktops whose tray only takes XEmbed icons (i3bar,
// polybar, tint2, lxpanel ...): QSystemTrayIcon with a QMenu. A module of its
// own, loaded only there, so every other desktop is spared QtWidgets.

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "Corvane/Screens/TrayIcon.hpp"
#include "Corvane/Screens/TrayMenuWidgets.hpp"

namespace corvane {
namespace {

class WidgetsTray final : public TrayIcon {
public:
    WidgetsTray() {
        icon_.setContextMenu(&menu_);
        // A click on the icon itself opens the window, as "Open Corvane" does.
        QObject::connect(&icon_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
            if ((reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) && activated) activated();
        });
        QObject::connect(&menu_, &QMenu::triggered, [this](QAction* action) {
            const auto index = menu_.actions().indexOf(action);
            if (index >= 0 && triggered) triggered(int(index));
        });
        icon_.show();
    }
    ~WidgetsTray() override { icon_.setContextMenu(nullptr); }

    void setIcon(const QIcon& icon) override { icon_.setIcon(icon); }
    void setToolTip(const QString& title, const QString& text) override {
        const QString tip = text.isEmpty() ? title : title + QLatin1Char('\n') + text;
        if (icon_.toolTip() != tip) icon_.setToolTip(tip);
    }
    void setMenu(const QList<TrayMenuEntry>& entries) override { syncTrayMenu(menu_, entries); }
    bool available() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }

private:
    QMenu menu_;
    QSystemTrayIcon icon_;
};

QGuiApplication* makeApplication(int& argc, char** argv) { return new QApplication(argc, argv); }
TrayIcon* makeIcon() { return new WidgetsTray; }

}  // namespace
}  // namespace corvane

extern "C" Q_DECL_EXPORT const corvane::XEmbedTrayModule corvane_xembed_tray_module{
    corvane::xembedTrayModuleVersion, &corvane::makeApplication, &corvane::makeIcon};
