// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A box over the window, drawn in the window's overlay layer above everything
// else. A modal one dims the window and takes every click; a modeless one lets
// them through. Keyboard focus moves in when it opens and back when it closes.
FocusScope {
    id: popup
    property bool modal: false
    property bool dim: modal
    property bool closeOnEscape: true
    property bool closeOnPressOutside: false
    property Item opener: null  // a press on it only closes the popup
    property real padding: 12
    property real leftPadding: padding
    property real rightPadding: padding
    property real topPadding: padding
    property real bottomPadding: padding
    property Item background
    property Item contentItem
    readonly property bool opened: visible
    property Item returnFocusTo: null
    signal closed()

    visible: false
    z: 1
    implicitWidth: Math.max(background ? background.implicitWidth : 0,
                            (contentItem ? contentItem.implicitWidth : 0) + leftPadding + rightPadding)
    implicitHeight: Math.max(background ? background.implicitHeight : 0,
                             (contentItem ? contentItem.implicitHeight : 0) + topPadding + bottomPadding)
    Accessible.role: Accessible.Dialog

    function open() { visible = true }
    function close() { visible = false }

    function moveToLayer() {
        const window = Window.window
        if (!window || !window.overlay || parent === window.overlay) return
        parent = window.overlay
        if (visible) forceActiveFocus()
    }
    Component.onCompleted: moveToLayer()
    Window.onWindowChanged: moveToLayer()

    onVisibleChanged: {
        if (visible) {
            returnFocusTo = Window.window ? Window.window.activeFocusItem : null
            forceActiveFocus()
        } else {
            if (returnFocusTo && activeFocus) returnFocusTo.forceActiveFocus()
            returnFocusTo = null
            closed()
        }
    }
    // Tab and Backtab stay inside a modal popup: focus that walks out of
    // either end comes back in at the other.
    property Item lastFocused: null
    function holds(item) {
        for (let p = item; p; p = p.parent) if (p === popup) return true
        return false
    }
    function focusChain() {
        const chain = []
        for (let it = nextItemInFocusChain(true); it && holds(it) && chain.indexOf(it) < 0; it = it.nextItemInFocusChain(true))
            chain.push(it)
        return chain
    }
    Connections {
        target: popup.modal && popup.opened ? popup.Window.window : null
        function onActiveFocusItemChanged() {
            const now = popup.Window.window.activeFocusItem
            if (!now || popup.holds(now)) {
                popup.lastFocused = now
                return
            }
            const chain = popup.focusChain()
            if (chain.length === 0) return
            const forward = chain.indexOf(popup.lastFocused) === chain.length - 1
            chain[forward ? 0 : chain.length - 1].forceActiveFocus(Qt.TabFocusReason)
        }
    }
    Keys.onEscapePressed: (event) => {
        if (closeOnEscape) close()
        event.accepted = closeOnEscape
    }

    onBackgroundChanged: if (background) {
        background.parent = popup
        background.z = -1
        background.width = Qt.binding(() => popup.width)
        background.height = Qt.binding(() => popup.height)
    }
    onContentItemChanged: if (contentItem) {
        contentItem.parent = popup
        contentItem.x = Qt.binding(() => popup.leftPadding)
        contentItem.y = Qt.binding(() => popup.topPadding)
        contentItem.width = Qt.binding(() => popup.width - popup.leftPadding - popup.rightPadding)
        contentItem.height = Qt.binding(() => popup.height - popup.topPadding - popup.bottomPadding)
    }

    // The rest of the window, under the box: dimmed while modal, and where a
    // press outside the box lands.
    Rectangle {
        x: -popup.x
        y: -popup.y
        z: -2
        width: popup.parent ? popup.parent.width : 0
        height: popup.parent ? popup.parent.height : 0
        color: !popup.dim ? "transparent" : popup.modal ? Theme.scrim : Theme.faintScrim
        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.AllButtons
            hoverEnabled: popup.modal
            onWheel: (wheel) => wheel.accepted = popup.modal
            onPressed: (mouse) => {
                const inside = popup.contains(mapToItem(popup, mouse.x, mouse.y))
                const onOpener = popup.opener && popup.opener.contains(mapToItem(popup.opener, mouse.x, mouse.y))
                if (!inside && popup.closeOnPressOutside) popup.close()
                mouse.accepted = inside || popup.modal || onOpener
            }
        }
    }
}
