// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// A panel of the main screen.
Rectangle {
    id: card
    default property alias content: column.data
    property alias spacing: column.spacing

    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 2 * Theme.padding
    radius: Theme.radius
    color: Theme.card
    border.color: Theme.cardBorder
    border.width: 1

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: Theme.padding
        spacing: Theme.spacing
    }
}
