// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A line between groups of a ChoiceMenu's entries.
Item {
    property Item menu
    width: ListView.view ? ListView.view.width : implicitWidth
    implicitWidth: 188 + 4
    implicitHeight: 1 + 12
    Accessible.role: Accessible.Separator
    Rectangle {
        x: 2
        y: 6
        width: parent.width - 4
        height: 1
        color: Theme.cardBorder
    }
}
