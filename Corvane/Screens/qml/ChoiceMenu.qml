import QtQuick
import QtQuick.Controls.Basic

Menu {
    padding: 4
    background: Rectangle {
        implicitWidth: 260
        color: Theme.card
        border.color: Theme.cardBorder
        radius: 8
    }
}
