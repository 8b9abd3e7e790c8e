// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// One of a row of choices, filled while it is the chosen one. It shows the
// model's choice: a click asks for it (chosen), and the next snapshot marks it.
ButtonBase {
    id: control
    property bool selected: false
    property real minimumWidth: 0
    property real minimumHeight: 28
    signal chosen()

    checkable: true
    checked: selected
    font.pixelSize: Theme.smallFont + 1
    Accessible.name: text
    Accessible.description: !usable ? reason : ""
    HoverTip { text: control.usable ? "" : control.reason }
    onClicked: {
        checked = Qt.binding(() => control.selected)
        control.chosen()
    }
    contentItem: Text {
        text: control.text
        font: control.font
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: control.checked ? Theme.accentText : (control.usable ? Theme.text : Theme.faintText)
    }
    background: Rectangle {
        implicitWidth: control.minimumWidth
        implicitHeight: control.minimumHeight
        radius: 7
        color: control.checked ? Theme.accent : Theme.raised
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Theme.focus : Theme.cardBorder
    }
}
