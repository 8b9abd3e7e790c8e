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
        }
        CVSwitch {
            objectName: "smartRoutingSwitch"
            name: "Smart routing"
            on: bridge.smartRouting
            enabled: !bridge.working
            onToggledTo: (value) => bridge.setSmartRouting(value)
        }
    }
}
