// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// A drop-down: shows the current choice, opens a menu made from `menuComponent`
// below itself. The menu exists only while open: a closed menu with an entry per
// server would hold its items for nothing.
ButtonBase {
    id: button
    property string title
    property string iconName
    property Component menuComponent
    property Item menu: null  // the open menu
    property string name: title

    Layout.fillWidth: true
    Accessible.name: name
    Accessible.description: title
    Accessible.role: Accessible.ButtonMenu
    onClicked: {
        if (!menu) {
            const opened = menuComponent.createObject(button.Window.window.overlay, { width: Math.max(button.width, 260) })
            opened.closed.connect(() => {
                if (menu === opened) menu = null
                opened.destroy()
            })
            menu = opened
        }
        menu.popUnder(button)
    }
    contentItem: RowLayout {
        spacing: 8
        Icon { name: button.iconName; size: 16; color: Theme.secondaryText }
        Text {
            text: button.title
            color: button.enabled ? Theme.text : Theme.faintText
            font.pixelSize: Theme.fontSize
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
        Icon { name: "chevron-down"; size: 14; color: Theme.secondaryText }
    }
    background: Rectangle {
        implicitHeight: 34
        radius: 8
        color: button.down ? Theme.cardBorder : Theme.raised
        border.width: button.visualFocus ? 2 : 1
        border.color: button.visualFocus ? Theme.focus : Theme.cardBorder
    }
}
