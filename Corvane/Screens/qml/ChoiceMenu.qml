import QtQuick
import QtQuick.Templates as T

// A drop-down list of ChoiceItems under the button that opened it. The arrow
// keys, Escape and a press outside come with the menu itself.
T.Menu {
    id: control
    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            contentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             contentHeight + topPadding + bottomPadding)
    margins: 0
    overlap: 1
    padding: 4
    delegate: ChoiceItem {}

    contentItem: ListView {
        implicitHeight: contentHeight
        model: control.contentModel
        // Scrolls only when the menu is taller than the window.
        interactive: Window.window
                        ? contentHeight + control.topPadding + control.bottomPadding > Window.window.height
                        : false
        clip: true
        currentIndex: control.currentIndex
        T.ScrollIndicator.vertical: T.ScrollIndicator {
            id: indicator
            padding: 2
            contentItem: Rectangle {
                implicitWidth: 2
                implicitHeight: 2
                color: Theme.faintText
                visible: indicator.size < 1.0
                opacity: indicator.active ? 0.75 : 0.0
                Behavior on opacity { NumberAnimation { duration: 200 } }
            }
        }
    }
    background: Rectangle {
        implicitWidth: 260
        color: Theme.card
        border.color: Theme.cardBorder
        radius: 8
    }
}
