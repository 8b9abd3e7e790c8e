// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// The model's error with what the user can do about it. Shown twice: inline in
// the connection panel (`alert`: the one assistive technology announces) and
// as the last panel of the page.
Rectangle {
    id: banner
    property bool alert: false
    property string textName: "errorText"
    property string actionPrefix: "error"
    implicitHeight: column.implicitHeight + 20
    radius: Theme.radius
    color: Theme.badSurface
    border.color: Theme.bad
    border.width: 1
    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 10
        spacing: 6
        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Icon { name: "alert-circle"; size: 18; color: Theme.bad; Layout.alignment: Qt.AlignTop }
            CVText {
                objectName: banner.textName
                text: bridge.errorMessage
                color: Theme.bad
                Layout.fillWidth: true
                Accessible.role: banner.alert ? Accessible.AlertMessage : Accessible.StaticText
            }
        }
        RowLayout {
            spacing: 6
            Layout.alignment: Qt.AlignRight
            CVButton {
                objectName: banner.actionPrefix + "ShowLogs"
                text: "Show logs"
                iconName: "logs"
                hint: "What the tunnel and the app logged around the error"
                onClicked: if (banner.Window.window) banner.Window.window.logsOpen = true
            }
            CopyButton {
                objectName: banner.actionPrefix + "CopyError"
                copyName: "Copy the error"
                payload: bridge.errorMessage
            }
        }
    }
}
