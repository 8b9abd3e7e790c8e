// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// One entry of a drop-down menu, with an optional icon, hint and checkmark.
// Choosing it closes its menu.
ControlBase {
    id: item
    property string iconName
    property string hint
    property string badge
    property bool marked: false
    property Item menu  // set by the ChoiceMenu that holds it
    readonly property bool choice: true
    readonly property bool highlighted: menu !== null && menu.currentItem === item
    signal triggered()

    width: ListView.view ? ListView.view.width : implicitWidth
    activeFocusOnTab: false
    Accessible.role: Accessible.MenuItem
    Accessible.description: hint
    Accessible.checkable: true
    Accessible.checked: marked
    onHoveredChanged: if (hovered && menu) menu.currentItem = item
    onClicked: {
        triggered()
        if (menu) menu.close()
    }
    implicitHeight: Math.max(34, content.implicitHeight + 12)
    padding: 6
    spacing: 6
    contentItem: RowLayout {
        id: content
        spacing: 8
        Icon { name: item.iconName; size: 15; color: Theme.secondaryText }
        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            Text {
                text: item.text + (item.badge !== "" ? "  \u00b7  " + item.badge : "")
                color: item.enabled ? Theme.text : Theme.faintText
                font.pixelSize: Theme.fontSize
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Text {
                visible: item.hint !== ""
                text: item.hint
                color: Theme.secondaryText
                font.pixelSize: Theme.smallFont
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
        Icon { name: item.marked ? "check" : ""; size: 15; color: Theme.accent }
    }
    background: Rectangle {
        color: item.highlighted ? Theme.raised : "transparent"
        radius: 6
    }
}
