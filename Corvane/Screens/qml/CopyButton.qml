// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// Copies `payload` to the clipboard and shows "Copied" for a moment. With
// `copyLogs` it copies the log drawer's shown lines instead.
CVButton {
    id: button
    property string payload
    property bool copyLogs: false
    property string copyName: label
    property bool flashing: false
    property string label: "Copy"

    iconName: flashing ? "check" : "copy"
    text: flashing ? "Copied" : label
    // The new name is read out: a screen reader hears "Copied" too.
    Accessible.name: flashing ? "Copied" : copyName
    onClicked: {
        bridge.copyText(copyLogs ? bridge.shownLogText() : payload)
        flashing = true
        flash.restart()
    }
    Timer { id: flash; interval: 1400; onTriggered: button.flashing = false }
}
