// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Rectangle {
    implicitHeight: row.implicitHeight + 20
    radius: Theme.radius
    color: Theme.badSurface
    border.color: Theme.bad
    border.width: 1
    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 10
        spacing: 8
        Icon { name: "alert-circle"; size: 18; color: Theme.bad; Layout.alignment: Qt.AlignTop }
        CVText {
            objectName: "errorText"
            text: bridge.errorMessage
            color: Theme.bad
            Layout.fillWidth: true
            Accessible.role: Accessible.AlertMessage
        }
    }
}
