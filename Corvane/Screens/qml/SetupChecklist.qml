// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// The tunnel service's setup step: one banner for what stands in the way of
// connecting, with the one thing to do about it. It renders nothing once the
// service is ready.
Rectangle {
    id: banner
    readonly property bool warning: bridge.extensionState !== "checking"
    visible: bridge.checklistTitle !== ""
    implicitHeight: visible ? row.implicitHeight + 2 * Theme.padding : 0
    radius: Theme.radius
    color: warning ? Theme.warnSurface : Theme.card
    border.color: warning ? Theme.warn : Theme.cardBorder
    border.width: 1
    Accessible.role: Accessible.Grouping
    Accessible.name: bridge.checklistTitle

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: Theme.padding
        spacing: 10
        Icon {
            objectName: "checklistIcon"
            name: bridge.checklistIcon
            size: 22
            color: banner.warning ? Theme.warn : Theme.secondaryText
            Layout.alignment: Qt.AlignTop
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            CVText {
                objectName: "checklistTitle"
                text: bridge.checklistTitle
                font.bold: true
                Layout.fillWidth: true
            }
            CVText {
                objectName: "checklistDetail"
                visible: text !== ""
                text: bridge.checklistDetail
                secondary: true
                textFormat: Text.PlainText
                Layout.fillWidth: true
            }
            // The command to run: selectable, and copied whole with one press.
            RowLayout {
                objectName: "checklistCommandRow"
                visible: bridge.checklistCommand !== ""
                spacing: 6
                Layout.fillWidth: true
                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: command.implicitHeight + 12
                    radius: 6
                    color: Theme.raised
                    TextEdit {
                        id: command
                        objectName: "checklistCommand"
                        x: 8
                        y: 6
                        width: parent.width - 16
                        text: bridge.checklistCommand
                        readOnly: true
                        selectByMouse: true
                        activeFocusOnTab: true
                        wrapMode: TextEdit.WrapAnywhere
                        color: Theme.text
                        selectionColor: Theme.accent
                        selectedTextColor: Theme.accentText
                        font.family: Theme.monoFont
                        font.pixelSize: Theme.fontSize
                        Accessible.role: Accessible.EditableText
                        Accessible.name: "Command"
                        Accessible.readOnly: true
                    }
                }
                CopyButton {
                    objectName: "copyChecklistCommand"
                    copyName: "Copy command"
                    payload: bridge.checklistCommand
                }
            }
            CVButton {
                objectName: "checklistAction"
                visible: text !== ""
                // Nothing to do, nothing for a screen reader to find.
                Accessible.ignored: text === ""
                text: bridge.checklistAction
                primary: true
                onClicked: bridge.runChecklistAction()
            }
        }
    }
}
