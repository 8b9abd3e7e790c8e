import QtQuick
import QtQuick.Templates as T

// The hint over a hovered control, shown after a moment. The tip exists only
// while the pointer is over the control.
Loader {
    id: tip
    property T.Control target: parent
    property string text
    active: target !== null && target.hovered && text !== ""
    sourceComponent: T.ToolTip {
        id: popup
        parent: tip.target
        text: tip.text
        visible: true
        delay: 600
        x: (parent.width - implicitWidth) / 2
        y: -implicitHeight - 3
        implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                                contentWidth + leftPadding + rightPadding)
        implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                                 contentHeight + topPadding + bottomPadding)
        margins: 6
        padding: 6
        closePolicy: T.Popup.CloseOnEscape | T.Popup.CloseOnPressOutsideParent | T.Popup.CloseOnReleaseOutsideParent
        font.pixelSize: Theme.smallFont + 1
        contentItem: Text {
            text: popup.text
            font: popup.font
            wrapMode: Text.Wrap
            color: Theme.text
        }
        background: Rectangle {
            radius: 4
            color: Theme.card
            border.color: Theme.faintText
        }
    }
}
