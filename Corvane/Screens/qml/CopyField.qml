// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// One credential with a copy button that flashes "Copied".
RowLayout {
    id: row
    property string label
    property string value
    spacing: 8
    Layout.fillWidth: true

    CVText {
        text: row.label
        secondary: true
        Layout.preferredWidth: 96
    }
    Text {
        text: row.value
        color: Theme.text
        font.pixelSize: Theme.fontSize
        font.family: Theme.monoFont
        elide: Text.ElideMiddle
        Layout.fillWidth: true
        Accessible.role: Accessible.StaticText
        Accessible.name: row.label + ": " + row.value
    }
    CopyButton {
        copyName: "Copy " + row.label
        payload: row.value
    }
}
