// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A push button: filled when `primary`, else quiet.
ButtonBase {
    id: button
    property string iconName: ""
    property bool primary: false
    property bool trailingIcon: false
    property bool busy: false
    property string hint: ""

    font.pixelSize: Theme.fontSize
    padding: 8
    leftPadding: 12
    rightPadding: 12
    // While it cannot be used, why not; else what it does.
    readonly property string shownHint: !usable && reason !== "" ? reason : hint
    Accessible.name: text
    Accessible.description: shownHint
    HoverTip { text: button.shownHint }

    contentItem: Item {
      implicitWidth: row.implicitWidth
      implicitHeight: row.implicitHeight
      Row {
        id: row
        anchors.centerIn: parent
        spacing: 6
        layoutDirection: button.trailingIcon ? Qt.RightToLeft : Qt.LeftToRight
        // Made only while busy: most buttons never are.
        Loader {
            active: button.busy
            visible: active
            anchors.verticalCenter: parent.verticalCenter
            sourceComponent: Spinner { running: true; size: 16; color: label.color }
        }
        Icon {
            name: button.busy ? "" : button.iconName
            size: 16
            color: label.color
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            id: label
            text: button.text
            font: button.font
            color: !button.usable ? Theme.faintText : button.primary ? Theme.accentText : Theme.accent
            anchors.verticalCenter: parent.verticalCenter
        }
      }
    }
    background: Rectangle {
        implicitHeight: 32
        radius: 8
        color: button.primary ? (button.usable ? (button.down ? Qt.darker(Theme.accent, 1.15) : Theme.accent) : Theme.raised)
                              : (button.down || button.hovered ? Theme.raised : "transparent")
        border.width: button.visualFocus ? 2 : (button.primary ? 0 : 1)
        border.color: button.visualFocus ? Theme.focus : Theme.cardBorder
    }
}
