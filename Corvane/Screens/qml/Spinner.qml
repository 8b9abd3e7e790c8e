import QtQuick
import QtQuick.Templates as T

// Says that something is under way: an arc that turns only while running and
// shown, so an idle window animates nothing.
T.BusyIndicator {
    id: control
    property int size: 20
    property color color: Theme.accent

    implicitWidth: size
    implicitHeight: size
    contentItem: Icon {
        name: "spinner"
        size: control.size
        color: control.color
        visible: control.running
        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: control.running && control.visible
        }
    }
}
