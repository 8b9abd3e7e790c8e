// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Card {
    objectName: "lanSharePanel"
    RowLayout {
        spacing: 10
        Layout.fillWidth: true
        Icon { name: "lan"; size: 18; color: Theme.secondaryText; Layout.alignment: Qt.AlignTop }
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            CVText { text: "Share over LAN"; font.bold: true }
            CVText { text: "Let other devices on this Wi-Fi use the tunnel as a proxy."; secondary: true; Layout.fillWidth: true }
        }
        CVSwitch {
            objectName: "lanShareSwitch"
            name: "Share over LAN"
            on: bridge.lanShare
            enabled: !bridge.working
            onToggledTo: (value) => bridge.setLanShare(value)
        }
    }

    RowLayout {
        objectName: "lanWaiting"
        visible: bridge.lanState === "waiting"
        spacing: 8
        Icon { name: "pause"; size: 16; color: Theme.secondaryText }
        CVText { text: "Sharing starts when you connect."; secondary: true; Layout.fillWidth: true }
    }
    CVText {
        objectName: "lanNoAddressNow"
        visible: bridge.lanState === "noAddressNow"
        text: "This device has no Wi-Fi or Ethernet address right now."
        color: Theme.warn
        Layout.fillWidth: true
    }
    CVText {
        objectName: "lanNoAddressAtStart"
        visible: bridge.lanState === "noAddressAtStart"
        text: "No Wi-Fi or Ethernet address was found when the tunnel started. Join a network, then turn this off and on again."
        color: Theme.warn
        Layout.fillWidth: true
    }

    // Made only while sharing: the credentials, their copy buttons and the
    // monospace font cost nothing the rest of the time.
    Loader {
        objectName: "lanCredentials"
        active: bridge.lanState === "sharing"
        visible: active
        Layout.fillWidth: true
        sourceComponent: ColumnLayout {
            spacing: 6
            CopyField { objectName: "lanServer"; label: "Proxy server"; value: bridge.lanProxyServer }
            CopyField { label: "Port"; value: bridge.lanPort }
            CopyField { label: "Username"; value: bridge.lanUsername }
            CopyField { objectName: "lanPasswordRow"; label: "Password"; value: bridge.lanPassword }
            RowLayout {
                spacing: 8
                CopyButton {
                    objectName: "copyURL"
                    label: "Copy URL"
                    copyName: "Copy URL"
                    payload: bridge.lanURL
                }
                CVButton {
                    objectName: "newPassword"
                    text: "New password"
                    iconName: "refresh"
                    enabled: !bridge.working
                    onClicked: bridge.regenerateLanSharePassword()
                }
            }
            CVText {
                text: "On a phone, tablet or computer: network settings \u2192 Proxy \u2192 Manual, then enter the username and password."
                secondary: true
                Layout.fillWidth: true
            }
            CVText {
                text: "Android's Wi-Fi proxy settings can't send a password: use Copy URL with an app that supports a SOCKS5 login."
                secondary: true
                Layout.fillWidth: true
            }
            CVText {
                text: "Works as HTTP and SOCKS5. Anyone with these credentials on this Wi-Fi can use your tunnel \u2014 share them only with your own devices."
                color: Theme.warn
                Layout.fillWidth: true
            }
        }
    }
}
