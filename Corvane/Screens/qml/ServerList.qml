import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

Card {
    objectName: "serverList"
    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        CVText { objectName: "fleetHeader"; text: bridge.fleetHeader; font.bold: true; Layout.fillWidth: true }
        BusyIndicator { visible: bridge.refreshing; running: visible; implicitWidth: 20; implicitHeight: 20 }
        IconButton {
            objectName: "refreshServers"
            iconName: "refresh"
            name: "Refresh server list"
            enabled: !bridge.refreshing
            onClicked: bridge.refreshServers()
        }
    }

    // Automatic choice.
    AbstractButton {
        id: auto
        objectName: "autoPill"
        visible: bridge.fleetEmptyState === ""
        focusPolicy: Qt.StrongFocus
        enabled: !bridge.working
        Layout.fillWidth: true
        implicitHeight: pill.implicitHeight + 16
        text: "Auto \u00b7 pick fastest"
        Accessible.role: Accessible.Button
        Accessible.name: text
        Accessible.description: "Let urltest pick the fastest server automatically"
        // Qt 6.4's controls ignore assistive technology's press: do what a click does.
        Accessible.onPressAction: if (enabled) clicked()
        ToolTip.visible: hovered
        ToolTip.text: "Let urltest pick the fastest server automatically"
        ToolTip.delay: 600
        onClicked: bridge.pinTag("proxy-auto")
        background: Rectangle {
            radius: height / 2
            color: bridge.autoPinned ? Theme.accent : Theme.raised
            border.width: auto.visualFocus ? 2 : 0
            border.color: Theme.focus
        }
        contentItem: RowLayout {
            id: pill
            spacing: 6
            Icon { name: "bolt"; size: 15; color: bridge.autoPinned ? Theme.accentText : Theme.accent; Layout.leftMargin: 6 }
            Text {
                text: auto.text
                color: bridge.autoPinned ? Theme.accentText : Theme.text
                font.pixelSize: Theme.fontSize
                font.bold: true
            }
            Text {
                objectName: "autoRoute"
                visible: text !== ""
                text: bridge.autoRoute
                color: bridge.autoPinned ? Theme.accentText : Theme.secondaryText
                font.pixelSize: Theme.smallFont + 1
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Item { Layout.fillWidth: true; visible: bridge.autoRoute === "" }
        }
    }

    Repeater {
        model: bridge.fleet
        delegate: ServerCard {
            required property var model
            server: model
        }
    }

    // Empty states.
    ColumnLayout {
        objectName: "fleetWaiting"
        visible: bridge.fleetEmptyState === "waiting"
        spacing: 4
        Layout.fillWidth: true
        CVText { text: "Waiting for the network\u2026"; font.bold: true }
        CVText {
            text: "No network connection right now. This continues by itself when the network returns."
            secondary: true
            Layout.fillWidth: true
        }
    }
    ColumnLayout {
        objectName: "fleetFailed"
        visible: bridge.fleetEmptyState === "failed"
        spacing: 6
        Layout.fillWidth: true
        CVText { text: "Couldn't load your servers."; font.bold: true }
        CVButton {
            objectName: "retryServers"
            text: "Retry"
            iconName: "refresh"
            enabled: !bridge.refreshing
            onClicked: bridge.refreshServers()
        }
    }
    ColumnLayout {
        objectName: "fleetNone"
        visible: bridge.fleetEmptyState === "none"
        spacing: 6
        Layout.fillWidth: true
        CVText { text: "No approved VPSes yet."; font.bold: true }
        CVText { text: "Add one in the panel, then approve it."; secondary: true; Layout.fillWidth: true }
        CVButton {
            objectName: "refreshEmpty"
            text: "Refresh"
            iconName: "refresh"
            enabled: !bridge.refreshing
            onClicked: bridge.refreshServers()
        }
    }
}
