// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

RowLayout {
    objectName: "appHeader"
    spacing: 10
    Layout.fillWidth: true

    Icon { name: "brandmark"; size: 34; color: Theme.accent }
    ColumnLayout {
        spacing: 0
        Layout.fillWidth: true
        CVText {
            text: "Corvane"
            font.pixelSize: 18
            font.bold: true
            Accessible.role: Accessible.Heading
        }
        CVText {
            objectName: "headerSubtitle"
            text: bridge.headerSubtitle
            secondary: true
            elide: Text.ElideRight
            wrapMode: Text.NoWrap
            Layout.fillWidth: true
        }
    }
    IconButton {
        objectName: "signOutButton"
        iconName: "sign-out"
        name: "Sign out"
        enabled: !bridge.working
        onClicked: bridge.signOut()
    }
}
