import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T

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
            Repeater {
                model: ["All", "Warn+", "Error"]
                delegate: Button {
                    required property int index
                    required property string modelData
                    objectName: "logFilter_" + modelData
                    text: modelData
                    checkable: true
                    checked: bridge.logFilter === index
                    focusPolicy: Qt.StrongFocus
                    font.pixelSize: Theme.smallFont + 1
                    Accessible.name: "Show " + modelData
                    Accessible.checkable: true
                    Accessible.checked: checked
                    // Qt 6.4's controls ignore assistive technology's press: do what a click does.
                    Accessible.onPressAction: if (enabled) clicked()
                    Accessible.onToggleAction: if (enabled) clicked()
                    onClicked: {
                        checked = Qt.binding(() => bridge.logFilter === index)
                        bridge.logFilter = index
                    }
                    contentItem: Text {
                        text: parent.text
                        font: parent.font
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                        color: parent.checked ? Theme.accentText : Theme.text
                    }
                    background: Rectangle {
                        implicitWidth: 58
                        implicitHeight: 28
                        radius: 7
                        color: parent.checked ? Theme.accent : Theme.raised
                        border.width: parent.visualFocus ? 2 : 1
                        border.color: parent.visualFocus ? Theme.focus : Theme.cardBorder
                    }
                }
            }
            TextField {
                id: search
                objectName: "logSearch"
                Layout.fillWidth: true
                placeholderText: "Search"
                text: bridge.logSearch  // until the user types: the drawer reopens with its search
                placeholderTextColor: Theme.faintText
                color: Theme.text
                font.pixelSize: Theme.fontSize
                leftPadding: 30
                selectByMouse: true
                Accessible.name: "Search logs"
                onTextEdited: bridge.logSearch = text
                background: Rectangle {
                    implicitHeight: 28
                    radius: 7
                    color: Theme.raised
                    border.width: search.activeFocus ? 2 : 1
                    border.color: search.activeFocus ? Theme.focus : Theme.cardBorder
                    Icon { name: "search"; size: 14; color: Theme.secondaryText; anchors.left: parent.left; anchors.leftMargin: 9; anchors.verticalCenter: parent.verticalCenter }
                }
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
                activeFocusOnTab: true
                Accessible.role: Accessible.List
                Accessible.name: "Log lines"
                ScrollBar.vertical: ScrollBar { Accessible.name: "Scroll the log lines" }
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
                    wrapMode: Text.WrapAnywhere
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
    Popup {
        id: preview
        objectName: "reportPreview"
        parent: T.Overlay.overlay
        modal: true
        focus: true
        anchors.centerIn: parent
        width: Math.min(parent.width - 32, 640)
        height: parent.height - 64
        padding: 14
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
        onOpened: cancelButton.forceActiveFocus()
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
                ScrollView {
                    id: reportScroll
                    anchors.fill: parent
                    anchors.margins: 1
                    ScrollBar.vertical: ScrollBar {
                        parent: reportScroll
                        x: reportScroll.width - width
                        y: reportScroll.topPadding
                        height: reportScroll.availableHeight
                        Accessible.name: "Scroll the report"
                    }
                    ScrollBar.horizontal: ScrollBar { policy: ScrollBar.AlwaysOff; Accessible.name: "Scroll the report sideways" }
                    TextArea {
                        objectName: "reportPreviewText"
                        readOnly: true
                        selectByMouse: true
                        wrapMode: TextEdit.WrapAnywhere
                        textFormat: TextEdit.PlainText
                        text: bridge.reportPreview !== "" ? bridge.reportPreview : "Preparing the report\u2026"
                        color: Theme.text
                        font.family: Theme.monoFont
                        font.pixelSize: Theme.smallFont
                        background: null
                        Accessible.role: Accessible.EditableText
                        Accessible.name: "Report text"
                        Accessible.readOnly: true
                    }
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
