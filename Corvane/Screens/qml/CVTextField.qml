// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A one-line text field with a leading icon, its frame marked while it has the
// keyboard focus.
TextInput {
    id: control
    property string iconName
    property int iconSize: 16
    property int iconMargin: 10
    property int frameHeight: 34
    property int frameRadius: 8
    property string placeholderText
    property color placeholderTextColor: Theme.secondaryText

    padding: 6
    // A TextInput's implicit height is its line plus padding: the padding makes it the frame's.
    topPadding: Math.max(padding, (frameHeight - contentHeight) / 2)
    bottomPadding: topPadding
    leftPadding: 34  // room for the icon
    verticalAlignment: TextInput.AlignVCenter
    color: Theme.text
    selectionColor: Theme.accent
    selectedTextColor: Theme.accentText
    font.pixelSize: Theme.fontSize
    selectByMouse: true
    activeFocusOnTab: true
    clip: true
    Accessible.role: Accessible.EditableText
    Accessible.description: placeholderText
    Accessible.passwordEdit: echoMode === TextInput.Password || echoMode === TextInput.PasswordEchoOnEdit
    Accessible.focusable: true
    Accessible.focused: activeFocus

    Text {
        id: placeholder
        x: control.leftPadding
        y: control.topPadding
        width: control.width - (control.leftPadding + control.rightPadding)
        height: control.height - (control.topPadding + control.bottomPadding)
        text: control.placeholderText
        font: control.font
        color: control.placeholderTextColor
        verticalAlignment: control.verticalAlignment
        horizontalAlignment: control.effectiveHorizontalAlignment
        visible: !control.length && !control.preeditText && (!control.activeFocus || control.horizontalAlignment !== Qt.AlignHCenter)
        elide: Text.ElideRight
        renderType: control.renderType
    }

    // Under the text: a child with a negative z draws below its parent.
    Rectangle {
        z: -1
        width: control.width
        height: control.height
        radius: control.frameRadius
        color: Theme.raised
        border.width: control.activeFocus ? 2 : 1
        border.color: control.activeFocus ? Theme.focus : Theme.cardBorder
        Icon {
            name: control.iconName
            size: control.iconSize
            color: Theme.secondaryText
            anchors.left: parent.left
            anchors.leftMargin: control.iconMargin
            anchors.verticalCenter: parent.verticalCenter
        }
    }
}
