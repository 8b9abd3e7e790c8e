// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// "Always require the tunnel": the system service blocks everything outside
// the tunnel whenever none is up, for every user of this computer.
Card {
    objectName: "lockdownRow"
    ColumnLayout {
        spacing: 8
        Layout.fillWidth: true
        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                CVText { text: "Always require the tunnel"; font.bold: true }
                CVText {
                    text: "Block all traffic outside the tunnel, also while disconnected and after a restart, for every user of this computer."
                    secondary: true
                    Layout.fillWidth: true
                }
            }
            CVSwitch {
                objectName: "lockdownSwitch"
                name: "Always require the tunnel"
                on: bridge.lockdown
                onToggledTo: (value) => bridge.setLockdown(value, bridge.lockdownAllowsLAN)
            }
        }
        RowLayout {
            visible: bridge.lockdown
            spacing: 10
            Layout.fillWidth: true
            CVText { text: "Allow the local network (printers, file shares)"; secondary: true; Layout.fillWidth: true }
            CVSwitch {
                objectName: "lockdownLANSwitch"
                name: "Allow the local network"
                on: bridge.lockdownAllowsLAN
                onToggledTo: (value) => bridge.setLockdown(true, value)
            }
        }
    }
}
