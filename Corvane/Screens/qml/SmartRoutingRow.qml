// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Card {
    objectName: "smartRoutingRow"
    RowLayout {
        spacing: 10
        Layout.fillWidth: true
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            CVText { text: "Smart routing"; font.bold: true }
            CVText { text: "CN traffic direct, the rest tunneled. Toggle while disconnected."; secondary: true; Layout.fillWidth: true }
            // The switch shows what the connection uses; this says why that is not the setting.
            CVText {
                objectName: "smartRoutingNote"
                visible: text !== ""
                text: bridge.smartRoutingNote
                color: Theme.warn
                Layout.fillWidth: true
            }
        }
        CVSwitch {
            objectName: "smartRoutingSwitch"
            name: "Smart routing"
            on: bridge.smartRoutingOn
            enabled: !bridge.working
            available: bridge.smartRoutingNote === ""
            reason: bridge.smartRoutingNote
            onToggledTo: (value) => bridge.setSmartRouting(value)
        }
    }
}
