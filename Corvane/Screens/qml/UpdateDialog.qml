// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// Shown over the window while the panel offers a newer version. A required
// update cannot be put off: it has no "Later", but the user can still sign
// out, read the logs (the dialog steps aside meanwhile) or quit.
CVPopup {
    id: dialog
    objectName: "updateDialog"
    property bool logsOpen: false
    signal showLogs()
    modal: true
    closeOnEscape: false  // it follows the model: Escape puts off an optional update below
    anchors.centerIn: parent
    width: Math.min(parent ? parent.width - 48 : 400, 420)
    padding: 20
    visible: bridge.updateShown && !logsOpen

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
        Keys.onEscapePressed: (event) => {
            event.accepted = !bridge.updateRequired
            if (event.accepted) bridge.dismissUpdate()
        }
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
        // Said outright: a disabled button's hint never shows.
        CVText {
            objectName: "updateNoDownload"
            visible: !bridge.updateCanDownload
            text: "The panel gave no download address. Ask your admin for the new version."
            color: Theme.warn
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
                focus: enabled
            }
        }
        RowLayout {
            objectName: "updateWaysOut"
            visible: bridge.updateRequired
            Layout.alignment: Qt.AlignHCenter
            spacing: 10
            CVButton {
                objectName: "updateSignOut"
                text: "Sign out"
                iconName: "sign-out"
                visible: bridge.signedIn
                onClicked: bridge.signOut()
            }
            CVButton {
                objectName: "updateShowLogs"
                text: "Show logs"
                iconName: "logs"
                focus: !bridge.updateCanDownload
                onClicked: dialog.showLogs()
            }
            CVButton {
                objectName: "updateQuit"
                text: "Quit"
                onClicked: Qt.quit()
            }
        }
    }
}
