// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// Text in the window's style; wraps by default so nothing is clipped.
Text {
    property bool secondary: false
    color: secondary ? Theme.secondaryText : Theme.text
    font.pixelSize: secondary ? Theme.smallFont + 1 : Theme.fontSize
    wrapMode: Text.Wrap
    textFormat: Text.PlainText
    Accessible.role: Accessible.StaticText
    Accessible.name: text
}
