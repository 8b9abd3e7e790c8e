// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// Says that something is under way: an arc that turns only while running and
// shown, so an idle window animates nothing.
Item {
    id: control
    property bool running: true
    property int size: 20
    property color color: Theme.accent
    // What is under way, for assistive technology.
    property string name: "Working\u2026"

    implicitWidth: size
    implicitHeight: size
    Accessible.role: Accessible.Indicator
    Accessible.name: name
    Icon {
        anchors.fill: parent
        name: "spinner"
        size: control.size
        color: control.color
        visible: control.running
        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: control.running && control.visible
        }
    }
}
