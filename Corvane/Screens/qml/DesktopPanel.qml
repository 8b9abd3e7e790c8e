// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// The app on this desktop: starting in the tray at login, and desktop notifications.
Card {
    objectName: "desktopPanel"
    ColumnLayout {
        spacing: 8
        Layout.fillWidth: true
        RowLayout {
            visible: bridge.startAtLoginOffered
            spacing: 10
            Layout.fillWidth: true
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                CVText { text: "Start at login"; font.bold: true }
                CVText { text: "Start Corvane in the tray when you log in."; secondary: true; Layout.fillWidth: true }
            }
            CVSwitch {
                objectName: "startAtLoginSwitch"
                name: "Start at login"
                on: bridge.startAtLogin
                onToggledTo: (value) => bridge.setStartAtLogin(value)
            }
        }
        CVText {
            objectName: "startAtLoginNote"
            visible: bridge.startAtLoginOffered && bridge.startAtLoginNote !== ""
            text: bridge.startAtLoginNote
            secondary: true
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                CVText { text: "Notifications"; font.bold: true }
                CVText {
                    text: "Tell me when the connection is lost or fails, a metered exit is used up, an update is required or the session ends."
                    secondary: true
                    Layout.fillWidth: true
                }
            }
            CVSwitch {
                objectName: "notificationsSwitch"
                name: "Notifications"
                on: bridge.notifications
                onToggledTo: (value) => bridge.setNotifications(value)
            }
        }
    }
}
