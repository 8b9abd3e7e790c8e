// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// While the window cannot reach the user's agent (starting, restarting): what
// it shows may be old, and it keeps trying by itself.
Rectangle {
    objectName: "agentNotice"
    visible: bridge.agentNotice !== ""
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
        Icon { name: "refresh"; size: 18; color: Theme.secondaryText; Layout.alignment: Qt.AlignTop }
        CVText {
            objectName: "agentNoticeText"
            text: bridge.agentNotice
            secondary: true
            Layout.fillWidth: true
            Accessible.role: Accessible.AlertMessage
        }
    }
}
