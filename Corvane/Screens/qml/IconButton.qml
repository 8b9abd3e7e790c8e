import QtQuick
import QtQuick.Templates as T

// A small button that shows only an icon; its accessible name says what it does.
T.ToolButton {
    id: button
    property string iconName
    property string name
    property color iconColor: Theme.secondaryText

    focusPolicy: Qt.StrongFocus
    implicitWidth: 30
    implicitHeight: 30
    padding: 6
    spacing: 6
    Accessible.name: name
    // Qt 6.4's controls ignore assistive technology's press: do what a click does.
    Accessible.onPressAction: if (enabled) clicked()
    HoverTip { text: button.name }
    contentItem: Item {
        Icon {
            anchors.centerIn: parent
            name: button.iconName
            size: 17
            color: button.enabled ? button.iconColor : Theme.faintText
        }
    }
    background: Rectangle {
        radius: 7
        color: button.down || button.hovered ? Theme.raised : "transparent"
        border.width: button.visualFocus ? 2 : 0
        border.color: Theme.focus
    }
}
