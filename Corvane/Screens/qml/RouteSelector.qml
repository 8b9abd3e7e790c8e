// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Card {
    id: route
    objectName: "routeSelector"
    spacing: 10

    // Entry node.
    RowLayout {
        spacing: 6
        Icon { name: "server"; size: 16; color: Theme.secondaryText }
        CVText { text: "Entry node"; font.bold: true; Layout.fillWidth: true }
    }
    MenuButton {
        id: entryButton
        objectName: "entryMenuButton"
        name: "Entry node"
        title: bridge.entryName
        iconName: bridge.autoEntry ? "bolt" : "server"
        enabled: !bridge.working
        menuComponent: Component {
            ChoiceMenu {
                id: entryMenu
                objectName: "entryMenu"
                ChoiceItem {
                    objectName: "entryRefresh"
                    text: "Refresh"
                    iconName: "refresh"
                    hint: "Refresh available nodes and exits"
                    onTriggered: bridge.refreshServers()
                }
                MenuLine {}
                ChoiceItem {
                    objectName: "entryAuto"
                    text: "Auto \u00b7 fastest"
                    iconName: "bolt"
                    hint: "Choose the fastest available node"
                    marked: bridge.autoEntry
                    onTriggered: bridge.chooseEntry(-1)
                }
                Instantiator {
                    model: bridge.entryChoices
                    delegate: ChoiceItem {
                        required property var model
                        text: model.name
                        iconName: "server"
                        marked: model.checked
                        onTriggered: bridge.chooseEntry(model.vpsId)
                    }
                    onObjectAdded: (index, object) => entryMenu.insertItem(index + 3, object)
                    onObjectRemoved: (index, object) => entryMenu.removeItem(object)
                }
            }
        }
    }
    CVText { text: "Changing entry nodes switches back to Original VPS exit."; secondary: true; Layout.fillWidth: true }

    // Exit.
    MenuButton {
        objectName: "exitMenuButton"
        name: "Exit"
        title: bridge.exitName
        iconName: "route"
        enabled: !bridge.working
        menuComponent: Component {
            ChoiceMenu {
                id: exitMenu
                objectName: "exitMenu"
                ChoiceItem {
                    objectName: "exitOriginal"
                    text: "Original VPS exit"
                    hint: "Use the selected node\u2019s IP"
                    marked: !bridge.meteredSelected
                    onTriggered: bridge.chooseExit(-1)
                }
                ChoiceItem {
                    objectName: "noExits"
                    visible: bridge.exitChoices.count === 0
                    height: visible ? implicitHeight : 0
                    enabled: false
                    text: "No additional exits are available for this entry node."
                }
                Instantiator {
                    model: bridge.exitChoices
                    delegate: ChoiceItem {
                        required property var model
                        text: model.name
                        badge: model.metered ? "Metered" : ""
                        hint: model.detail
                        marked: model.checked
                        enabled: model.enabled
                        onTriggered: bridge.chooseExit(model.exitId)
                    }
                    onObjectAdded: (index, object) => exitMenu.insertItem(index + 2, object)
                    onObjectRemoved: (index, object) => exitMenu.removeItem(object)
                }
            }
        }
    }

    // Route controls.
    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        Icon { name: "laptop"; size: 16; color: Theme.secondaryText; Layout.alignment: Qt.AlignTop }
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            CVText { text: "This device only" }
            CVText { text: "Changing a selection reconnects this device and closes existing connections."; secondary: true; Layout.fillWidth: true }
        }
    }
    CVText { text: "Connection protocol"; font.bold: true }
    RowLayout {
        objectName: "protocolChoices"
        spacing: 6
        Accessible.role: Accessible.Grouping
        Accessible.name: "Connection protocol"
        Layout.fillWidth: true
        Repeater {
            model: [
                { key: "auto", label: "Automatic protocol" },
                { key: "reality", label: "Reality" },
                { key: "hysteria2", label: "Hysteria2" }
            ]
            delegate: SegmentButton {
                required property var modelData
                objectName: "protocol_" + modelData.key
                text: modelData.label
                selected: bridge.protocolChoice === modelData.key
                enabled: !bridge.working
                available: modelData.key === "auto" || bridge.entryPinned
                reason: "Choose an entry node first: the automatic entry picks its protocol itself."
                minimumHeight: 30
                Layout.fillWidth: true
                Accessible.name: modelData.label
                onChosen: bridge.chooseProtocol(modelData.key)
            }
        }
    }
    CVText { text: "Your choice will be used on the next connection."; secondary: true; Layout.fillWidth: true }

    // Route summary.
    Rectangle {
        Layout.fillWidth: true
        implicitHeight: summary.implicitHeight + 20
        radius: 8
        color: Theme.raised
        ColumnLayout {
            id: summary
            objectName: "routeSummary"
            anchors.fill: parent
            anchors.margins: 10
            spacing: 4
            CVText {
                objectName: "routeSummaryText"
                visible: !bridge.meteredSelected
                text: "Original VPS exit \u00b7 no residential usage"
                Layout.fillWidth: true
            }
            CVText {
                visible: bridge.meteredSelected
                text: "All public traffic and DNS use this exit"
                Layout.fillWidth: true
            }
            CVText {
                visible: bridge.meteredSelected
                text: "Private networks keep their own routes."
                secondary: true
                Layout.fillWidth: true
            }
            CVText {
                objectName: "trafficSummary"
                visible: bridge.meteredSelected && text !== ""
                text: bridge.trafficSummary
                font.bold: true
                Layout.fillWidth: true
            }
            CVText {
                objectName: "policyLine"
                visible: bridge.meteredSelected && text !== ""
                text: bridge.policyLine
                secondary: true
                Layout.fillWidth: true
            }
            CVButton {
                objectName: "useOriginalExit"
                visible: bridge.meteredSelected
                text: "Use original exit"
                enabled: !bridge.working
                onClicked: bridge.chooseExit(-1)
            }
        }
    }

    // A notice after an automatic switch back to the original exit.
    Rectangle {
        objectName: "quotaNotice"
        visible: bridge.quotaNotice !== ""
        Layout.fillWidth: true
        implicitHeight: notice.implicitHeight + 20
        radius: 8
        color: Theme.warnSurface
        RowLayout {
            id: notice
            anchors.fill: parent
            anchors.margins: 10
            spacing: 8
            Icon { name: "warning"; size: 16; color: Theme.warn; Layout.alignment: Qt.AlignTop }
            CVText { text: bridge.quotaNotice; Layout.fillWidth: true }
            IconButton {
                objectName: "dismissQuotaNotice"
                iconName: "close"
                name: "Dismiss traffic notice"
                Layout.alignment: Qt.AlignTop
                onClicked: bridge.dismissQuotaNotice()
            }
        }
    }
}
