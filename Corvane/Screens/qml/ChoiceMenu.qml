// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQml.Models

// A drop-down list of ChoiceItems (and MenuLines) under the button that opened
// it. Up, Down, Home and End move the highlight over the entries that can be
// chosen, Enter or Space chooses, Escape or a press outside closes.
CVPopup {
    id: control
    default property list<QtObject> entries  // items, and Instantiators that insert more
    property Item currentItem: null
    readonly property int count: objects.count
    readonly property real contentHeight: list.contentHeight

    closeOnPressOutside: true
    padding: 4
    Accessible.role: Accessible.PopupMenu
    Accessible.name: opener ? opener.Accessible.name : ""

    function itemAt(index) { return index >= 0 && index < objects.count ? objects.get(index) : null }
    function insertItem(index, item) {
        if (!ready) { pending.push([index, item]); return }
        item.menu = control
        objects.insert(Math.min(index, objects.count), item)
    }
    function removeItem(item) {
        for (let i = 0; i < objects.count; ++i) {
            if (objects.get(i) === item) { objects.remove(i); break }
        }
        if (currentItem === item) currentItem = null
    }
    // Opens below `anchor`, or above it where the window has no room below.
    function popUnder(anchor) {
        opener = anchor
        const layer = parent
        const below = anchor.mapToItem(layer, 0, anchor.height + 2)
        height = Qt.binding(() => Math.min(implicitHeight, layer.height))
        x = Math.max(0, Math.min(below.x, layer.width - width))
        const above = below.y - anchor.height - 4 - height
        y = below.y + height <= layer.height ? below.y : above >= 0 ? above : layer.height - height
        open()
    }

    property bool ready: false
    property var pending: []
    Component.onCompleted: {
        for (let i = 0; i < entries.length; ++i) {
            const entry = entries[i]
            if (entry instanceof Item) {
                entry.menu = control
                objects.append(entry)
            }
        }
        ready = true
        for (let i = 0; i < pending.length; ++i) insertItem(pending[i][0], pending[i][1])
        pending = []
    }

    function choosable(item) { return item && item.enabled && item.visible && item.choice === true }
    function moveHighlight(from, step) {
        for (let i = from + step; i >= 0 && i < objects.count; i += step) {
            const item = objects.get(i)
            if (choosable(item)) {
                currentItem = item
                item.forceActiveFocus()
                list.positionViewAtIndex(i, ListView.Contain)
                return
            }
        }
    }
    function indexOfCurrent() {
        for (let i = 0; i < objects.count; ++i) if (objects.get(i) === currentItem) return i
        return -1
    }
    Keys.onPressed: (event) => {
        if (event.key === Qt.Key_Down) moveHighlight(indexOfCurrent(), 1)
        else if (event.key === Qt.Key_Up) moveHighlight(indexOfCurrent() < 0 ? objects.count : indexOfCurrent(), -1)
        else if (event.key === Qt.Key_Home) moveHighlight(-1, 1)
        else if (event.key === Qt.Key_End) moveHighlight(objects.count, -1)
        else if (currentItem && currentItem.isActivation(event.key)) { if (choosable(currentItem)) currentItem.activate() }
        else return
        event.accepted = true
    }

    ObjectModel { id: objects }
    contentItem: ListView {
        id: list
        implicitWidth: 260 - 8
        implicitHeight: contentHeight
        model: objects
        // Scrolls only when the menu is taller than the window.
        interactive: contentHeight + control.topPadding + control.bottomPadding > control.height
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        keyNavigationEnabled: false
        Rectangle {
            // A thin mark of where the list is, while it scrolls.
            x: parent.width - width - 2
            y: 2 + list.visibleArea.yPosition * (parent.height - 4)
            width: 2
            height: list.visibleArea.heightRatio * (parent.height - 4)
            color: Theme.faintText
            visible: list.visibleArea.heightRatio < 1.0
            opacity: list.moving ? 0.75 : 0.0
            Behavior on opacity { NumberAnimation { duration: 200 } }
        }
    }
    background: Rectangle {
        implicitWidth: 260
        color: Theme.card
        border.color: Theme.cardBorder
        radius: 8
    }
}
