// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// One of the app's icons, drawn in `color` at device resolution: an image://
// source is scalable, so Qt asks for sourceSize times the screen's pixel ratio
// and lays the image out at sourceSize.
Image {
    id: icon
    property string name
    property color color: Theme.text
    property int size: 18

    width: size
    height: size
    visible: name !== ""
    source: name === "" ? "" : "image://icon/" + name + "/" + color
    sourceSize: Qt.size(size, size)
    fillMode: Image.PreserveAspectFit
    smooth: true
    Accessible.ignored: true
}
