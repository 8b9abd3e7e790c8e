// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// One of the app's icons, drawn in `color` at device resolution.
Image {
    id: icon
    property string name
    property color color: Theme.text
    property int size: 18

    width: size
    height: size
    visible: name !== ""
    source: name === "" ? "" : "image://icon/" + name + "/" + color
    sourceSize: Qt.size(size * Screen.devicePixelRatio, size * Screen.devicePixelRatio)
    fillMode: Image.PreserveAspectFit
    smooth: true
    Accessible.ignored: true
}
