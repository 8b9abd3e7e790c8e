// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Card {
    objectName: "connectionPanel"
    spacing: 12

    Item {
        Layout.alignment: Qt.AlignHCenter
        implicitWidth: 132
        implicitHeight: 132

        // The pulsing ring while connecting; it does not exist otherwise.
        Loader {
            objectName: "pulseRing"
            anchors.centerIn: parent
            active: bridge.pulsing
            visible: active
            sourceComponent: Rectangle {
                width: 112; height: 112; radius: width / 2
                color: "transparent"
                border.width: 3
                border.color: Theme.accent
                opacity: 0.6
                SequentialAnimation on scale {
                    running: true
                    loops: Animation.Infinite
                    NumberAnimation { from: 1.0; to: 1.17; duration: 900; easing.type: Easing.OutQuad }
                    NumberAnimation { from: 1.17; to: 1.0; duration: 900; easing.type: Easing.InQuad }
                }
            }
        }

        // Beside the button, not in it: Qt 6.4's compiled bindings of the button's
        // glyph crash with a tip among the button's children.
        HoverTip { target: main; text: main.usable ? "" : main.reason }
        ButtonBase {
            id: main
            objectName: "connectButton"
            anchors.centerIn: parent
            width: 104; height: 104
            enabled: !bridge.working
            // As in the tray: no connect while the tunnel service is not ready, and here it says why.
            available: bridge.working || bridge.connectEnabled
            reason: bridge.connectReason
            text: bridge.connectButtonText
            Accessible.name: text
            Accessible.description: usable || reason === "" ? bridge.statusWord : reason
            onClicked: bridge.toggleConnection()
            readonly property color tone: bridge.status === "failed" ? Theme.bad
                                        : bridge.status === "connected"
                                          ? (bridge.connectionGlyph === "shield-alert" ? Theme.warn : Theme.good)
                                          : Theme.accent
            readonly property color ink: bridge.status === "connected" || bridge.status === "failed"
                                        ? (Theme.dark ? "#10161d" : "#ffffff") : main.tone
            contentItem: Item {
                Column {
                    anchors.centerIn: parent
                    spacing: 2
                    Icon {
                        objectName: "connectGlyph"
                        property string glyph: bridge.connectionGlyph
                        anchors.horizontalCenter: parent.horizontalCenter
                        name: glyph
                        size: 40
                        color: main.ink
                    }
                    Text {
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: main.text
                        color: main.ink
                        font.pixelSize: Theme.smallFont + 1
                        font.bold: true
                    }
                }
            }
            background: Rectangle {
                radius: width / 2
                color: bridge.status === "connected" || bridge.status === "failed" ? main.tone
                       : (main.down ? Theme.raised : Theme.card)
                opacity: main.usable ? 1 : 0.55
                border.width: main.visualFocus ? 4 : 3
                border.color: main.visualFocus ? Theme.focus : main.tone
            }
        }
    }

    CVText {
        objectName: "statusTitle"
        text: bridge.statusWord
        font.pixelSize: 18
        font.bold: true
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    CVText {
        objectName: "connectionSubtitle"
        text: bridge.connectionSubtitle
        secondary: true
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
    // The current error, where the user looks first; the banner at the end of the page repeats it.
    Loader {
        objectName: "inlineError"
        active: bridge.errorMessage !== ""
        visible: active
        Layout.fillWidth: true
        sourceComponent: ErrorBanner { alert: true; textName: "inlineErrorText"; actionPrefix: "inline" }
    }
    // After a failure the block of traffic outside the tunnel stands until the user reconnects or says so.
    CVButton {
        objectName: "liftBlock"
        visible: bridge.disconnectOffered
        text: "Disconnect"
        iconName: "power"
        hint: "Stop blocking traffic outside the tunnel"
        Layout.alignment: Qt.AlignHCenter
        onClicked: bridge.disconnectTunnel()
    }
    CVText {
        objectName: "connectionSites"
        visible: text !== ""
        text: bridge.connectionSites
        secondary: true
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
}
