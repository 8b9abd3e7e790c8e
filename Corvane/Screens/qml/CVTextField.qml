import QtQuick
import QtQuick.Templates as T

// A one-line text field with a leading icon, its frame marked while it has the
// keyboard focus.
T.TextField {
    id: control
    property string iconName
    property int iconSize: 16
    property int iconMargin: 10
    property int frameHeight: 34
    property int frameRadius: 8

    implicitWidth: implicitBackgroundWidth + leftInset + rightInset
                   || Math.max(contentWidth, placeholder.implicitWidth) + leftPadding + rightPadding
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             contentHeight + topPadding + bottomPadding,
                             placeholder.implicitHeight + topPadding + bottomPadding)
    padding: 6
    leftPadding: 34  // room for the icon
    verticalAlignment: TextInput.AlignVCenter
    color: Theme.text
    placeholderTextColor: Theme.faintText
    selectionColor: Theme.accent
    selectedTextColor: Theme.accentText
    font.pixelSize: Theme.fontSize
    selectByMouse: true

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

    background: Rectangle {
        implicitHeight: control.frameHeight
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
