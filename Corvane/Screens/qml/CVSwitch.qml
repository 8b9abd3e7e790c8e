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
        objectName: "switchTrack"
        width: 40
        height: 22
        x: 0
        y: parent.height / 2 - height / 2
        radius: 11
        // On or off, the track and the knob stand out from the card (3:1).
        color: !control.usable ? (control.checked ? Qt.lighter(Theme.accent, 1.5) : Theme.raised)
               : control.checked ? Theme.accent : Theme.switchOff
        border.width: control.usable ? 0 : 1
        border.color: Theme.cardBorder
        Rectangle {
            objectName: "switchKnob"
            x: control.checked ? parent.width - width - 3 : 3
            anchors.verticalCenter: parent.verticalCenter
            width: 16; height: 16; radius: 8
            color: !control.usable ? Theme.cardBorder : control.checked ? Theme.accentText : Theme.switchKnob
            Behavior on x { NumberAnimation { duration: 120 } }
        }
        // The ring around the track: drawn on it, it would vanish on an accent track.
        Rectangle {
            objectName: "switchFocusRing"
            anchors.fill: parent
            anchors.margins: -3
            radius: height / 2
            color: "transparent"
            visible: control.visualFocus
            border.width: 2
            border.color: Theme.focus
        }
    }
}
