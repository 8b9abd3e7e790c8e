// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// Shown while the model is signed out.
ColumnLayout {
    id: screen
    objectName: "signInScreen"
    spacing: 16

    ColumnLayout {
        Layout.fillWidth: true
        Layout.topMargin: 28
        spacing: 8
        Icon { name: "brandmark"; size: 52; color: Theme.accent; Layout.alignment: Qt.AlignHCenter }
        CVText {
            text: "Connect to your fleet"
            font.pixelSize: 22
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
            Accessible.role: Accessible.Heading
        }
        CVText {
            text: "Sign in with the email and password your admin invited you with."
            secondary: true
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
    }

    Card {
        spacing: 12
        SignInField {
            objectName: "panelField"
            iconName: "globe"
            label: "Panel URL"
            placeholder: bridge.panelPlaceholder
            value: bridge.panelURL
            onEdited: (text) => bridge.panelURL = text
        }
        SignInField {
            objectName: "emailField"
            iconName: "envelope"
            label: "Email"
            placeholder: "you@example.com"
            value: bridge.email
            onEdited: (text) => bridge.email = text
        }
        SignInField {
            objectName: "passwordField"
            iconName: "key"
            label: "Password"
            placeholder: "Password"
            secret: true
            value: bridge.password
            onEdited: (text) => bridge.password = text
            onAccepted: if (signInButton.enabled) bridge.signIn()
        }
        CVButton {
            id: signInButton
            objectName: "signInButton"
            text: "Sign in"
            iconName: "sign-in"
            trailingIcon: true
            primary: true
            busy: bridge.busy
            enabled: !bridge.busy
            Layout.fillWidth: true
            onClicked: bridge.signIn()
        }
    }

    CVText {
        objectName: "signInErrorText"
        visible: bridge.errorMessage !== ""
        text: bridge.errorMessage
        color: Theme.bad
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
        // Read out as it appears, wherever the focus is.
        Accessible.role: Accessible.AlertMessage
    }
    // The keyring would not keep the sign-in: the owner-only file can.
    CVButton {
        objectName: "fileStoreButton"
        visible: bridge.offerFileCredentialStore
        text: "Keep sign-in in a private file"
        enabled: !bridge.busy
        Layout.alignment: Qt.AlignHCenter
        onClicked: bridge.useFileCredentialStore()
    }

    CVText {
        text: bridge.versionLine
        secondary: true
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
}
