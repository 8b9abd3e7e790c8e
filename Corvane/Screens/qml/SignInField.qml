// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
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
    CVTextField {
        id: input
        objectName: field.objectName + "Input"
        Layout.fillWidth: true
        text: field.value
        placeholderText: field.placeholder
        echoMode: field.secret ? TextInput.Password : TextInput.Normal
        iconName: field.iconName
        Accessible.name: field.label
        onTextEdited: field.edited(text)
        onAccepted: field.accepted()
    }
}
