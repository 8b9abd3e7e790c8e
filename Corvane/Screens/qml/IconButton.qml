// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A small button that shows only an icon; its accessible name says what it does.
ControlBase {
    id: button
    property string iconName
    property string name
    property color iconColor: Theme.secondaryText

    implicitWidth: 30
    implicitHeight: 30
    padding: 6
    spacing: 6
    Accessible.name: name
    HoverTip { text: button.name }
    contentItem: Item {
        Icon {
            anchors.centerIn: parent
            name: button.iconName
            size: 17
            color: button.enabled ? button.iconColor : Theme.faintText
        }
    }
    background: Rectangle {
        radius: 7
        color: button.down || button.hovered ? Theme.raised : "transparent"
        border.width: button.visualFocus ? 2 : 0
        border.color: Theme.focus
    }
}
