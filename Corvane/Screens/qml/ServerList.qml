// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Card {
    id: list
    objectName: "serverList"

    property real cardHeight: 70  // a made card's height, for the slots of the others
    // The window's scrolling page. Until the list has looked for it no card is
    // made, so that none is made only to be dropped at once.
    property Flickable page: null
    property bool placed: false
    Component.onCompleted: Qt.callLater(() => {
        for (let p = list.parent; p && !page; p = p.parent) {
            if (p instanceof Flickable) page = p
        }
        placed = true
    })
    // A screen reader browses the whole list: for it every card is made.
    readonly property bool everyCard: typeof appearance !== "undefined" && appearance !== null && appearance.assistiveTechnology
    // Within half a screen of what is shown, measured from the slot's top (its
    // own height is not read: making the card changes it).
    function nearView(slot) {
        // With a screen reader every card is made with the list, before the reader
        // first reads the page: one made later may never reach its view of the page.
        if (everyCard) return true
        if (!placed) return false
        if (!page) return true
        // Read so that the binding follows the page's layout as well as its scrolling.
        void slot.y
        void slots.y
        void page.contentHeight
        const top = slot.mapToItem(page.contentItem, 0, 0).y
        const margin = page.height / 2
        return top >= page.contentY - margin - 200 && top <= page.contentY + page.height + margin
    }

    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        CVText { objectName: "fleetHeader"; text: bridge.fleetHeader; font.bold: true; Layout.fillWidth: true }
        Spinner { visible: bridge.refreshing; running: visible; size: 20; name: "Refreshing the server list" }
        IconButton {
            objectName: "refreshServers"
            iconName: "refresh"
            name: "Refresh server list"
            enabled: !bridge.refreshing
            onClicked: bridge.refreshServers()
        }
    }

    // Automatic choice.
    ControlBase {
        id: auto
        objectName: "autoPill"
        visible: bridge.fleetEmptyState === ""
        enabled: !bridge.working
        Layout.fillWidth: true
        implicitHeight: pill.implicitHeight + 16
        text: "Auto \u00b7 pick fastest"
        Accessible.name: text
        Accessible.description: "Let urltest pick the fastest server automatically"
        HoverTip { text: "Let urltest pick the fastest server automatically" }
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

    // Only the cards near the visible part of the window exist: each costs about
    // 0.3 MB, and a large fleet is mostly off screen. Elsewhere a card leaves a
    // slot of its height, so the page keeps its length while it scrolls. The
    // slots sit in a Column, not in the card's layout, as the sites' rows do
    // (SitesPanel.qml says why).
    Column {
        id: slots
        visible: fleetSlots.count > 0
        spacing: Theme.spacing
        Layout.fillWidth: true
        Repeater {
            id: fleetSlots
            model: bridge.fleet
            delegate: Item {
                id: slot
                required property var model
                width: slots.width
                implicitHeight: card.item ? card.item.implicitHeight : list.cardHeight
                Loader {
                    id: card
                    width: parent.width
                    // A card that has the keyboard focus stays while the page scrolls away.
                    active: list.nearView(slot) || slot.focused
                    sourceComponent: ServerCard { server: slot.model }
                    onLoaded: list.cardHeight = item.implicitHeight
                }
                property bool focused: false
                Connections {
                    target: card.item
                    function onActiveFocusChanged() { slot.focused = card.item.activeFocus }
                }
            }
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
