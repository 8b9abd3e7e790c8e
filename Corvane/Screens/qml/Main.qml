// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Window {
    id: window
    objectName: "mainWindow"
    title: "Corvane"
    width: 560
    height: 700
    minimumWidth: 460
    maximumWidth: 600
    minimumHeight: 520
    // The app's --background start leaves it in the tray.
    visible: typeof startHidden === "undefined" || !startHidden
    color: Theme.background

    // Window-local presentation state.
    property bool logsOpen: bridge.previewLogs
    // Popups, menus and tips draw here, above everything else.
    readonly property alias overlay: overlayLayer

    Component.onCompleted: {
        bridge.windowShown()
        frameSwapped.connect(firstFrame)
    }
    function firstFrame() {
        frameSwapped.disconnect(firstFrame)
        bridge.firstFrameDrawn()
    }

    // Keyboard focus that moves out of sight scrolls the page to it, so Tab can
    // walk the whole page (and reach server cards made as they come near).
    onActiveFocusItemChanged: {
        const page = scroll.contentItem
        const focused = activeFocusItem
        if (!focused || !(page instanceof Flickable)) return
        let inside = false
        for (let p = focused.parent; p && !inside; p = p.parent) inside = p === page.contentItem
        if (!inside) return
        const top = focused.mapToItem(page.contentItem, 0, 0).y
        const bottom = top + focused.height
        if (top < page.contentY) {
            page.contentY = Math.max(0, top - 12)
        } else if (bottom > page.contentY + page.height - 60) {
            // Clear of the floating "Show logs" button over the page's foot.
            page.contentY = Math.min(Math.max(0, page.contentHeight - page.height), bottom - page.height + 60)
        }
    }

    Shortcut {
        sequences: [StandardKey.Quit]
        context: Qt.ApplicationShortcut
        onActivated: Qt.quit()
    }
    // Escape closes the log drawer, unless a popup over it has the focus: the
    // popup takes Escape itself.
    Shortcut {
        sequence: "Escape"
        enabled: window.logsOpen && !window.overlayHasFocus
        onActivated: window.logsOpen = false
    }
    readonly property bool overlayHasFocus: {
        for (let p = activeFocusItem; p; p = p.parent) if (p === overlayLayer) return true
        return false
    }

    Item {
        id: scroll
        objectName: "contentScroll"
        readonly property alias contentItem: page
        readonly property alias contentHeight: page.contentHeight
        anchors.fill: parent
        // Under the open log drawer nothing takes the focus, a click or a press
        // from assistive technology: Tab stays in the drawer.
        enabled: !window.logsOpen

        // The keyboard's place until the user moves it to a control.
        focus: true

        // Page Up, Page Down, Home and End move the page, from wherever on it the
        // focus is: a control passes them on (a text field keeps Home and End).
        function scrollTo(y) { page.contentY = Math.max(0, Math.min(y, page.contentHeight - page.height)) }
        Keys.onPressed: (event) => {
            if (event.modifiers & (Qt.ControlModifier | Qt.AltModifier | Qt.ShiftModifier)) return
            const step = Math.max(40, page.height - 48)  // a little of the last screen stays in sight
            switch (event.key) {
            case Qt.Key_PageDown: scrollTo(page.contentY + step); break
            case Qt.Key_PageUp: scrollTo(page.contentY - step); break
            case Qt.Key_Home: scrollTo(0); break
            case Qt.Key_End: scrollTo(page.contentHeight); break
            default: return
            }
            event.accepted = true
        }

        Flickable {
            id: page
            anchors.fill: parent
            contentWidth: width
            contentHeight: column.implicitHeight
            boundsBehavior: Flickable.StopAtBounds
            ColumnLayout {
                id: column
                width: page.width
                spacing: 0
                NoTrayNotice {
                    Layout.fillWidth: true
                    Layout.margins: 16
                    Layout.bottomMargin: 0
                }
                AgentNotice {
                    Layout.fillWidth: true
                    Layout.margins: 16
                    Layout.bottomMargin: 0
                }
                Loader {
                    objectName: "screenLoader"
                    Layout.fillWidth: true
                    Layout.margins: 16
                    Layout.bottomMargin: 64  // room for the floating button
                    active: bridge.stateKnown
                    sourceComponent: bridge.signedIn ? mainScreen : signInScreen
                }
            }
        }
        CVScrollBar {
            flickable: page
            x: scroll.width - width
            height: scroll.height
            Accessible.name: "Scroll the window"
        }
    }
    Component { id: mainScreen; MainScreen {} }
    Component { id: signInScreen; SignInScreen {} }

    CVButton {
        id: showLogs
        objectName: "showLogs"
        visible: !window.logsOpen
        text: "Show logs"
        iconName: "logs"
        primary: false
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 14
        background: Rectangle {
            implicitHeight: 34
            radius: 17
            color: Theme.card
            border.color: parent.visualFocus ? Theme.focus : Theme.cardBorder
            border.width: parent.visualFocus ? 2 : 1
        }
        onClicked: window.logsOpen = true
    }

    // The keyboard comes back to the control that opened the drawer (the floating
    // button when that one is gone).
    property Item logsOpener: null
    onLogsOpenChanged: {
        if (logsOpen) {
            logsOpener = activeFocusItem
            return
        }
        const opener = logsOpener
        logsOpener = null
        Qt.callLater(() => {
            if (overlayHasFocus) return
            if (opener && opener.visible && opener.enabled && opener.activeFocusOnTab) opener.forceActiveFocus(Qt.TabFocusReason)
            else if (showLogs.visible) showLogs.forceActiveFocus(Qt.TabFocusReason)
        })
    }

    // Dims the content under the open log drawer; a press on it closes the drawer.
    Rectangle {
        objectName: "logDim"
        anchors.fill: parent
        visible: window.logsOpen
        color: Theme.dark ? "#000000" : "#1b2129"
        opacity: 0.35
        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.AllButtons
            onPressed: window.logsOpen = false
            onWheel: (wheel) => wheel.accepted = true
        }
    }
    Loader {
        objectName: "logDrawerLoader"
        active: window.logsOpen
        anchors.fill: parent
        anchors.margins: 10
        anchors.topMargin: 60
        sourceComponent: LogDrawer {
            onCloseRequested: window.logsOpen = false
            Component.onCompleted: forceActiveFocus()
        }
    }

    Item {
        id: overlayLayer
        objectName: "overlay"
        anchors.fill: parent
        z: 1000
        UpdateDialog {
            logsOpen: window.logsOpen
            onShowLogs: window.logsOpen = true
        }
    }
}
