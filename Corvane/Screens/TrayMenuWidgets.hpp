// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAction>
#include <QMenu>

#include "Corvane/Screens/TrayIcon.hpp"

namespace corvane {

// The tray menu as a QMenu: updated in place while its lines keep their
// kinds, so an open menu does not flicker as the rates change.
inline void syncTrayMenu(QMenu& menu, const QList<TrayMenuEntry>& entries) {
    QList<QAction*> actions = menu.actions();
    bool sameShape = actions.size() == entries.size();
    for (qsizetype i = 0; sameShape && i < entries.size(); ++i) sameShape = actions[i]->isSeparator() == entries[i].separator;
    if (!sameShape) {
        menu.clear();
        for (const TrayMenuEntry& entry : entries) {
            if (entry.separator) {
                menu.addSeparator();
            } else {
                menu.addAction(QString());
            }
        }
        actions = menu.actions();
    }
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const TrayMenuEntry& entry = entries[i];
        QAction* action = actions[i];
        if (!entry.separator) {
            action->setText(entry.label);
            action->setEnabled(entry.enabled);
            action->setShortcut(entry.shortcut);
        }
        action->setVisible(entry.visible);
    }
}

}  // namespace corvane
