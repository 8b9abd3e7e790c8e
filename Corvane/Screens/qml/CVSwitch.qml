// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// The app's own switch style. It shows the model's value: a click asks the
// model to change (toggled), and the next snapshot moves the knob.
ControlBase {
    id: control
    property bool on: false
    property string name
    signal toggledTo(bool value)

    checkable: true
    checked: on
    implicitWidth: 40
    implicitHeight: 24
    spacing: 6
    Accessible.role: Accessible.CheckBox
    Accessible.name: name
    Accessible.description: !usable ? reason : ""
    HoverTip { text: control.usable ? "" : control.reason }
    onToggled: {
        const wanted = checked
        checked = Qt.binding(() => control.on)
        control.toggledTo(wanted)
    }
    Rectangle {
        width: 40
        height: 22
        x: 0
        y: parent.height / 2 - height / 2
        radius: 11
        color: control.checked ? (control.usable ? Theme.accent : Qt.lighter(Theme.accent, 1.5)) : Theme.raised
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Theme.focus : Theme.cardBorder
        Rectangle {
            x: control.checked ? parent.width - width - 3 : 3
            anchors.verticalCenter: parent.verticalCenter
            width: 16; height: 16; radius: 8
            color: control.usable ? "#ffffff" : Theme.cardBorder
            Behavior on x { NumberAnimation { duration: 120 } }
        }
    }
}
