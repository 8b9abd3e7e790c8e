// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import Corvane.Screens.Native

// What every clickable control shares: hover and press from the pointer,
// Space, Enter and Return from the keyboard, the press of assistive technology,
// and a focus ring only while the user steers with the keyboard. Each control
// brings its look as `background` and `contentItem`; this places them inside
// the padding.
//
// A control that cannot be used for a reason the user should read sets
// `available: false` and `reason` rather than `enabled: false`: it can still be
// hovered and focused, so its tip and its accessible description say why, but
// nothing works it. `enabled: false` is for a moment's wait (the model working).
Item {
    id: control
    property string text
    property font font
    property bool checkable: false
    property bool checked: false
    property real spacing: 0
    property real padding: 0
    property real horizontalPadding: padding
    property real verticalPadding: padding
    property real leftPadding: horizontalPadding
    property real rightPadding: horizontalPadding
    property real topPadding: verticalPadding
    property real bottomPadding: verticalPadding
    property Item background
    property Item contentItem
    property bool available: true
    property string reason
    // Whether a click, a key or assistive technology works the control now.
    readonly property bool usable: enabled && available
    readonly property real implicitBackgroundWidth: background ? background.implicitWidth : 0
    readonly property real implicitBackgroundHeight: background ? background.implicitHeight : 0
    readonly property real implicitContentWidth: contentItem ? contentItem.implicitWidth : 0
    readonly property real implicitContentHeight: contentItem ? contentItem.implicitHeight : 0
    readonly property bool hovered: hover.hovered && usable
    // Whether a tip belongs on screen: under the pointer, or reached with the keyboard.
    readonly property bool tipWanted: hover.hovered || visualFocus
    readonly property bool pressed: pointer.pressed || keyPressed
    readonly property bool down: pressed
    readonly property bool visualFocus: activeFocus && InputMode.keyboard
    property bool keyPressed: false
    signal clicked()
    signal toggled()

    implicitWidth: Math.max(implicitBackgroundWidth, implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight, implicitContentHeight + topPadding + bottomPadding)
    activeFocusOnTab: true
    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.focusable: true
    Accessible.focused: activeFocus
    Accessible.checkable: checkable
    Accessible.checked: checked
    Accessible.onPressAction: activate()
    Accessible.onToggleAction: if (checkable) activate()

    // A click, whichever way it came: a checkable control flips first.
    function activate() {
        if (!usable) return
        if (checkable) {
            checked = !checked
            toggled()
        }
        clicked()
    }

    function isActivation(key) { return key === Qt.Key_Space || key === Qt.Key_Return || key === Qt.Key_Enter }
    Keys.onPressed: (event) => {
        if (!isActivation(event.key) || event.modifiers & (Qt.ControlModifier | Qt.AltModifier)) return
        if (!event.isAutoRepeat) keyPressed = true
        event.accepted = true
    }
    Keys.onReleased: (event) => {
        if (!isActivation(event.key) || event.isAutoRepeat || !keyPressed) return
        keyPressed = false
        event.accepted = true
        activate()
    }
    onActiveFocusChanged: if (!activeFocus) keyPressed = false

    // A user's background or content replaces the one its type brought.
    property Item shownBackground: null
    property Item shownContent: null
    function retire(item) {
        if (!item) return
        item.visible = false
        item.parent = null
    }
    onBackgroundChanged: {
        if (shownBackground !== background) retire(shownBackground)
        shownBackground = background
        if (!background) return
        background.parent = control
        background.z = -1
        background.x = 0
        background.y = 0
        background.width = Qt.binding(() => control.width)
        background.height = Qt.binding(() => control.height)
    }
    onContentItemChanged: {
        if (shownContent !== contentItem) retire(shownContent)
        shownContent = contentItem
        if (!contentItem) return
        contentItem.parent = control
        contentItem.x = Qt.binding(() => control.leftPadding)
        contentItem.y = Qt.binding(() => control.topPadding)
        contentItem.width = Qt.binding(() => control.width - control.leftPadding - control.rightPadding)
        contentItem.height = Qt.binding(() => control.height - control.topPadding - control.bottomPadding)
    }

    // Hover from a handler: a MouseArea's can stay set after a press that
    // came without a move.
    HoverHandler { id: hover }
    MouseArea {
        id: pointer
        anchors.fill: parent
        onPressed: control.forceActiveFocus()
        onClicked: control.activate()
    }
}
