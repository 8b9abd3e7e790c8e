// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QIcon>
#include <QKeySequence>
#include <QList>
#include <QString>

class QGuiApplication;

namespace corvane {

// One line of the tray menu. Disabled lines are status text, not commands.
struct TrayMenuEntry {
    QString label;
    bool enabled = true;
    bool visible = true;
    bool separator = false;
    QKeySequence shortcut;

    bool operator==(const TrayMenuEntry&) const = default;
};

// An icon in the desktop's tray with a tooltip and a menu, whichever way the
// desktop shows it. Plain C++ so that the XEmbed one can live in a module of
// its own: only desktops without a StatusNotifierItem host load QtWidgets.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;

    virtual void setIcon(const QIcon& icon) = 0;
    // The title is the tooltip's first line; hosts show it in bold.
    virtual void setToolTip(const QString& title, const QString& text) = 0;
    virtual void setMenu(const QList<TrayMenuEntry>& entries) = 0;
    // Whether a tray host shows the icon now.
    virtual bool available() const = 0;

    std::function<void()> activated;          // the icon itself was clicked
    std::function<void(int entry)> triggered;  // a menu entry, by its index
    std::function<void()> availabilityChanged;
};

// What the XEmbed module exports, under the symbol named below.
struct XEmbedTrayModule {
    int version;
    // The module's application object: QSystemTrayIcon's XEmbed window is a
    // widget, so that desktop needs a QApplication.
    QGuiApplication* (*makeApplication)(int& argc, char** argv);
    TrayIcon* (*makeIcon)();
};
inline constexpr int xembedTrayModuleVersion = 1;
inline constexpr const char* xembedTrayModuleSymbol = "corvane_xembed_tray_module";

}  // namespace corvane
