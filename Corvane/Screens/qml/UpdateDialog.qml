// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// Shown over the window while the panel offers a newer version. A required
// update cannot be put off: it has no "Later".
CVPopup {
    id: dialog
    objectName: "updateDialog"
    modal: true
    closeOnEscape: false  // nothing but the user's choice closes it
    anchors.centerIn: parent
    width: Math.min(parent ? parent.width - 48 : 400, 420)
    padding: 20
    visible: bridge.updateShown

    background: Rectangle {
        radius: 14
        color: Theme.card
        border.color: Theme.cardBorder
        border.width: 1
    }

    contentItem: ColumnLayout {
        spacing: 10
        Accessible.role: Accessible.Dialog
        Accessible.name: bridge.updateTitle
        Icon {
            name: "arrow-up-circle"
            size: 40
            color: bridge.updateRequired ? Theme.warn : Theme.accent
            Layout.alignment: Qt.AlignHCenter
        }
        CVText {
            objectName: "updateTitle"
            text: bridge.updateTitle
            font.pixelSize: Theme.titleFont + 2
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        CVText {
            objectName: "updateMessage"
            text: bridge.updateMessage
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        CVText {
            objectName: "updateDetail"
            text: bridge.updateDetail
            secondary: true
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        RowLayout {
            Layout.topMargin: 6
            Layout.alignment: Qt.AlignHCenter
            spacing: 10
            CVButton {
                objectName: "updateLater"
                visible: !bridge.updateRequired
                text: "Later"
                onClicked: bridge.dismissUpdate()
            }
            CVButton {
                objectName: "updateDownload"
                text: "Download update"
                primary: true
                enabled: bridge.updateCanDownload
                hint: enabled ? "" : "The panel gave no download address."
                onClicked: bridge.downloadUpdate()
                focus: true
            }
        }
    }
}
