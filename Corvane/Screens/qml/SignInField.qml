import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A sign-in field with a leading icon, bound to one of the model's fields.
ColumnLayout {
    id: field
    property string iconName
    property string label
    property string placeholder
    property string value
    property bool secret: false
    signal edited(string text)
    signal accepted()

    spacing: 4
    Layout.fillWidth: true

    CVText { text: field.label; secondary: true; Accessible.ignored: true }
    TextField {
        id: input
        objectName: field.objectName + "Input"
        Layout.fillWidth: true
        text: field.value
        placeholderText: field.placeholder
        placeholderTextColor: Theme.faintText
        echoMode: field.secret ? TextInput.Password : TextInput.Normal
        color: Theme.text
        font.pixelSize: Theme.fontSize
        leftPadding: 34
        selectByMouse: true
        Accessible.name: field.label
        onTextEdited: field.edited(text)
        onAccepted: field.accepted()
        background: Rectangle {
            implicitHeight: 34
            radius: 8
            color: Theme.raised
            border.width: input.activeFocus ? 2 : 1
            border.color: input.activeFocus ? Theme.focus : Theme.cardBorder
            Icon {
                name: field.iconName
                size: 16
                color: Theme.secondaryText
                anchors.left: parent.left
                anchors.leftMargin: 10
                anchors.verticalCenter: parent.verticalCenter
            }
        }
    }
}
