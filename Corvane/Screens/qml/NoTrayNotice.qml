// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// Said once when the desktop shows no tray icons: why the window stays, and
// how to get a tray.
Rectangle {
    objectName: "noTrayNotice"
    visible: bridge.trayNotice !== ""
    implicitHeight: visible ? row.implicitHeight + 20 : 0
    radius: Theme.radius
    color: Theme.card
    border.color: Theme.cardBorder
    border.width: 1
    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 10
        spacing: 8
        Icon { name: "alert-circle"; size: 18; color: Theme.secondaryText; Layout.alignment: Qt.AlignTop }
        CVText {
            text: bridge.trayNotice
            secondary: true
            Layout.fillWidth: true
            Accessible.role: Accessible.AlertMessage
        }
        IconButton {
            objectName: "dismissTrayNotice"
            iconName: "close"
            name: "Dismiss"
            Layout.alignment: Qt.AlignTop
            onClicked: bridge.dismissTrayNotice()
        }
    }
}
