// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// The hint over a control under the pointer or reached with the keyboard,
// shown after a moment above everything else. The tip exists only meanwhile.
Loader {
    id: tip
    property Item target: parent
    property string text
    readonly property Item overlayLayer: target && target.Window.window ? target.Window.window.overlay || null : null
    active: target !== null && target.tipWanted === true && text !== "" && overlayLayer !== null
    sourceComponent: Rectangle {
        id: box
        readonly property real margin: 6
        // Centred above the control, kept inside the window.
        readonly property point at: tip.target.mapToItem(tip.overlayLayer, (tip.target.width - width) / 2, -height - 3)
        parent: tip.overlayLayer
        visible: false
        x: Math.max(margin, Math.min(at.x, tip.overlayLayer.width - width - margin))
        y: Math.max(margin, at.y)
        width: Math.min(label.implicitWidth + 12, tip.overlayLayer.width - 2 * margin)
        height: label.implicitHeight + 12
        radius: 4
        color: Theme.card
        border.color: Theme.faintText
        objectName: "hoverTip"
        Accessible.role: Accessible.ToolTip
        Accessible.name: tip.text
        Text {
            id: label
            x: 6
            y: 6
            width: parent.width - 12
            text: tip.text
            font.pixelSize: Theme.smallFont + 1
            wrapMode: Text.Wrap
            color: Theme.text
        }
        Timer { interval: 600; running: true; onTriggered: box.visible = true }
    }
}
