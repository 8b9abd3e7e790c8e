// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A thin vertical scroll bar over `flickable`'s right edge, whose handle shows
// while the view moves or the pointer works the bar, then fades. Drag the
// handle, or press the track to bring the handle there.
Item {
    id: control
    property Flickable flickable
    property real padding: 2
    readonly property real size: flickable ? flickable.visibleArea.heightRatio : 1.0
    readonly property real position: flickable ? flickable.visibleArea.yPosition : 0.0
    readonly property bool pressed: pointer.pressed
    readonly property bool hovered: pointer.containsMouse
    readonly property bool active: pressed || hovered || (flickable !== null && flickable.moving)
    // The handle is never shorter than it is wide.
    readonly property real minimumSize: width / Math.max(1, height)
    readonly property real visualSize: Math.min(1.0, Math.max(size, minimumSize))
    readonly property real visualPosition: size >= 1.0 ? 0 : Math.max(0, Math.min(1.0 - visualSize, position * (1.0 - visualSize) / (1.0 - size)))
    readonly property real track: height - 2 * padding

    implicitWidth: 6 + 2 * padding
    Accessible.role: Accessible.ScrollBar

    // Moves the view so the handle's top is at `handleTop` (in the bar).
    function scrollTo(handleTop) {
        if (!flickable || size >= 1.0) return
        const fraction = Math.max(0, Math.min(1, (handleTop - padding) / Math.max(1, track * (1.0 - visualSize))))
        flickable.contentY = flickable.originY + fraction * (flickable.contentHeight - flickable.height)
    }

    Rectangle {
        id: handle
        x: control.padding
        y: control.padding + control.visualPosition * control.track
        width: control.width - 2 * control.padding
        height: control.visualSize * control.track
        radius: width / 2
        color: control.pressed ? Theme.secondaryText : Theme.faintText
        opacity: 0.0
        states: State {
            name: "active"
            when: control.active && control.size < 1.0
            PropertyChanges { handle.opacity: 0.75 }
        }
        transitions: Transition {
            from: "active"
            SequentialAnimation {
                PauseAnimation { duration: 450 }
                NumberAnimation { target: handle; duration: 200; property: "opacity"; to: 0.0 }
            }
        }
    }
    MouseArea {
        id: pointer
        property real grip: 0  // where in the handle the pointer holds it
        anchors.fill: parent
        hoverEnabled: true
        enabled: control.size < 1.0
        onPressed: (mouse) => {
            grip = mouse.y >= handle.y && mouse.y <= handle.y + handle.height ? mouse.y - handle.y : handle.height / 2
            control.scrollTo(mouse.y - grip)
        }
        onPositionChanged: (mouse) => { if (pressed) control.scrollTo(mouse.y - grip) }
    }
}
