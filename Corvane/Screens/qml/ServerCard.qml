// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// One VPS: click to pin it; its protocol buttons pin one protocol.
ControlBase {
    id: card
    property var server
    objectName: "server_" + server.vpsId
    enabled: !bridge.working
    // A server added after this connect is not in the running engine: the card says so.
    available: !server.reconnectToAdd
    reason: server.reconnectToAdd ? server.hint : ""
    Layout.fillWidth: true
    padding: 10
    implicitHeight: body.implicitHeight + 20
    text: server.name
    Accessible.name: server.name
    Accessible.description: server.hint
    HoverTip { text: card.server.hint }
    onClicked: bridge.pinTag(server.tag)

    component Badge: Rectangle {
        property alias text: badgeText.text
        property color tone: Theme.accent
        implicitWidth: badgeText.implicitWidth + 12
        implicitHeight: badgeText.implicitHeight + 4
        radius: height / 2
        color: "transparent"
        border.color: tone
        Text { id: badgeText; anchors.centerIn: parent; color: parent.tone; font.pixelSize: Theme.smallFont }
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    background: Rectangle {
        radius: 8
        color: card.server.pinned ? Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.10)
               : (card.hovered ? Theme.raised : "transparent")
        border.width: card.visualFocus ? 2 : 1
        border.color: card.visualFocus ? Theme.focus : (card.server.pinned ? Theme.accent : Theme.cardBorder)
    }
    contentItem: ColumnLayout {
        id: body
        spacing: 6
        RowLayout {
            spacing: 6
            Layout.fillWidth: true
            Icon { name: "server"; size: 15; color: Theme.secondaryText }
            Text {
                text: card.server.name
                color: Theme.text
                font.pixelSize: Theme.fontSize
                font.bold: true
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Badge { visible: card.server.pinned; text: "Pinned" }
            Badge { visible: card.server.active; text: "Active"; tone: Theme.good }
            Badge { visible: card.server.switching; text: "Switching"; tone: Theme.warn }
            Badge { visible: card.server.reconnectToAdd; text: "Reconnect to add"; tone: Theme.warn }
            Text {
                visible: card.server.latency !== ""
                text: card.server.latency
                color: Theme.secondaryText
                font.pixelSize: Theme.smallFont + 1
            }
        }
        Flow {
            visible: card.server.protocols.length > 0
            spacing: 6
            Layout.fillWidth: true
            Repeater {
                model: card.server.protocols
                delegate: ButtonBase {
                    id: protocol
                    required property var modelData
                    objectName: "protocol_" + modelData.label
                    enabled: card.usable
                    text: modelData.label
                    Accessible.name: modelData.name + " on " + card.server.name
                    Accessible.description: modelData.latency + (modelData.active ? ", Currently active" : "")
                    onClicked: bridge.pinTag(modelData.tag)
                    contentItem: Column {
                        spacing: 1
                        Text {
                            text: protocol.modelData.label + "  " + protocol.modelData.latency
                            color: protocol.modelData.pinned ? Theme.accent : Theme.text
                            font.pixelSize: Theme.smallFont + 1
                            font.bold: protocol.modelData.pinned
                        }
                        Text {
                            visible: protocol.modelData.active
                            text: "Currently active"
                            color: Theme.good
                            font.pixelSize: Theme.smallFont
                        }
                    }
                    background: Rectangle {
                        radius: 6
                        color: protocol.down || protocol.hovered ? Theme.cardBorder : Theme.raised
                        border.width: protocol.visualFocus ? 2 : (protocol.modelData.pinned ? 1 : 0)
                        border.color: protocol.visualFocus ? Theme.focus : Theme.accent
                    }
                }
            }
        }
    }
}
