// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// The tunnel service's log over the window's content.
Rectangle {
    id: drawer
    objectName: "logDrawer"
    signal closeRequested()
    color: Theme.background
    border.color: Theme.cardBorder
    radius: Theme.radius
    property bool copied: false
    readonly property alias reportPreview: preview
    Accessible.role: Accessible.Pane
    Accessible.name: "Logs"

    // Clicks on the drawer do not reach the content under it.
    MouseArea { anchors.fill: parent; acceptedButtons: Qt.AllButtons; onWheel: (wheel) => wheel.accepted = true }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 12
        spacing: 8

        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Icon { name: "logs"; size: 18; color: Theme.secondaryText }
            CVText { text: "Logs"; font.bold: true; font.pixelSize: Theme.titleFont }
            CVText {
                objectName: "logCount"
                text: bridge.logCount === 1 ? "1 line" : bridge.logCount + " lines"
                secondary: true
                Layout.fillWidth: true
            }
            IconButton {
                objectName: "closeLogs"
                iconName: "close"
                name: "Close logs"
                onClicked: drawer.closeRequested()
            }
        }

        RowLayout {
            spacing: 6
            Layout.fillWidth: true
            RowLayout {
                objectName: "logFilters"
                spacing: 6
                Accessible.role: Accessible.Grouping
                Accessible.name: "Lines shown"
                Repeater {
                    model: ["All", "Warn+", "Error"]
                    delegate: SegmentButton {
                        required property int index
                        required property string modelData
                        objectName: "logFilter_" + modelData
                        text: modelData
                        selected: bridge.logFilter === index
                        minimumWidth: 58
                        Accessible.name: "Show " + modelData
                        onChosen: bridge.logFilter = index
                    }
                }
            }
            CVTextField {
                id: search
                objectName: "logSearch"
                Layout.fillWidth: true
                placeholderText: "Search"
                text: bridge.logSearch  // until the user types: the drawer reopens with its search
                iconName: "search"
                iconSize: 14
                iconMargin: 9
                frameHeight: 28
                frameRadius: 7
                leftPadding: 30
                Accessible.name: "Search logs"
                onTextEdited: bridge.logSearch = text
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            radius: 8
            color: Theme.card
            border.color: Theme.cardBorder
            clip: true

            ListView {
                id: list
                objectName: "logList"
                anchors.fill: parent
                anchors.margins: 8
                model: bridge.logs
                spacing: 2
                boundsBehavior: Flickable.StopAtBounds
                // Clipped inside the frame's margin, so no line is cut at the frame.
                clip: true
                activeFocusOnTab: true
                Accessible.role: Accessible.List
                Accessible.name: "Log lines"
                // Follow the newest line unless the user scrolled up to read.
                property bool following: true
                onMovementEnded: following = atYEnd
                onCountChanged: if (following) Qt.callLater(positionViewAtEnd)
                delegate: Text {
                    required property string time
                    required property string level
                    required property string kind
                    required property string target
                    required property string message
                    width: ListView.view.width - 10
                    // At spaces; only a word longer than the line breaks inside.
                    wrapMode: Text.Wrap
                    textFormat: Text.PlainText
                    font.family: Theme.monoFont
                    font.pixelSize: Theme.smallFont
                    color: kind === "error" ? Theme.bad : kind === "warn" ? Theme.warn
                           : kind === "info" ? Theme.text : Theme.debugText
                    text: time + " " + level + " " + (target !== "" ? target + ": " : "") + message
                    Accessible.role: Accessible.ListItem
                    Accessible.name: text
                }
            }
            CVScrollBar {
                flickable: list
                anchors.top: list.top
                anchors.bottom: list.bottom
                anchors.right: list.right
                Accessible.name: "Scroll the log lines"
            }
            CVText {
                objectName: "noLogLines"
                visible: bridge.logCount === 0
                anchors.centerIn: parent
                width: parent.width - 40
                horizontalAlignment: Text.AlignHCenter
                text: "No log lines yet. They appear while the tunnel is running."
                secondary: true
            }
        }

        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            CopyButton {
                objectName: "copyLogs"
                label: "Copy"
                copyName: "Copy shown log lines"
                enabled: bridge.logCount > 0
                copyLogs: true
            }
            IconButton {
                objectName: "clearLogs"
                iconName: "trash"
                name: "Clear logs"
                enabled: bridge.logCount > 0
                onClicked: bridge.clearLogs()
            }
            CVText {
                objectName: "diagnosticsNote"
                text: bridge.diagnosticsNote
                secondary: true
                horizontalAlignment: Text.AlignRight
                Layout.fillWidth: true
            }
            IconButton {
                objectName: "previewReport"
                iconName: "eye"
                name: "Preview report"
                onClicked: {
                    bridge.previewReport()
                    preview.open()
                }
            }
            CVButton {
                objectName: "sendReport"
                text: "Send report"
                iconName: "send"
                onClicked: bridge.sendReport()
            }
        }
    }

    // The sanitised report exactly as "Send report" would send it now.
    CVPopup {
        id: preview
        objectName: "reportPreview"
        modal: true
        anchors.centerIn: parent
        width: parent ? Math.min(parent.width - 32, 640) : 0
        height: parent ? parent.height - 64 : 0
        padding: 14
        closeOnPressOutside: true
        onOpenedChanged: if (opened) cancelButton.forceActiveFocus()
        background: Rectangle {
            color: Theme.background
            radius: Theme.radius
            border.color: Theme.cardBorder
        }

        contentItem: ColumnLayout {
            spacing: 8
            Accessible.role: Accessible.Dialog
            Accessible.name: "Report preview"
            CVText { text: "Report preview"; font.bold: true; font.pixelSize: Theme.titleFont }
            CVText {
                text: "Exactly what Send report would send now, with the sites you visited left out."
                secondary: true
                Layout.fillWidth: true
            }
            Rectangle {
                Layout.fillWidth: true
                Layout.fillHeight: true
                radius: 8
                color: Theme.card
                border.color: Theme.cardBorder
                clip: true
                Flickable {
                    id: reportScroll
                    // Clipped inside the text's margin, so no line is cut at the frame.
                    clip: true
                    anchors.fill: parent
                    anchors.margins: 1
                    anchors.topMargin: 7
                    anchors.bottomMargin: 7
                    contentWidth: width
                    contentHeight: reportText.height
                    boundsBehavior: Flickable.StopAtBounds
                    TextEdit {
                        id: reportText
                        objectName: "reportPreviewText"
                        width: reportScroll.width
                        height: Math.max(implicitHeight, reportScroll.height)
                        readOnly: true
                        selectByMouse: true
                        wrapMode: TextEdit.Wrap
                        textFormat: TextEdit.PlainText
                        text: bridge.reportPreview !== "" ? bridge.reportPreview : "Preparing the report\u2026"
                        leftPadding: 10
                        rightPadding: 6
                        color: Theme.text
                        selectionColor: Theme.accent
                        selectedTextColor: Theme.accentText
                        font.family: Theme.monoFont
                        font.pixelSize: Theme.smallFont
                        activeFocusOnTab: true
                        Accessible.role: Accessible.EditableText
                        Accessible.name: "Report text"
                        Accessible.readOnly: true
                        Accessible.focusable: true
                        Accessible.focused: activeFocus
                    }
                }
                CVScrollBar {
                    flickable: reportScroll
                    anchors.top: reportScroll.top
                    anchors.bottom: reportScroll.bottom
                    anchors.right: reportScroll.right
                    Accessible.name: "Scroll the report"
                }
            }
            RowLayout {
                spacing: 8
                Layout.fillWidth: true
                Item { Layout.fillWidth: true }
                CVButton {
                    id: cancelButton
                    objectName: "cancelReport"
                    text: "Cancel"
                    onClicked: preview.close()
                }
                CVButton {
                    objectName: "sendPreviewedReport"
                    text: "Send"
                    iconName: "send"
                    primary: true
                    enabled: bridge.reportPreview !== ""
                    onClicked: {
                        bridge.sendReport()
                        preview.close()
                    }
                }
            }
        }
    }
}
