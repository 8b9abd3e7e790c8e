import QtQuick
import QtQuick.Templates as T

// A push button's geometry: as wide and tall as its content plus padding, or
// its background's size if that is larger. The look comes from each user.
T.Button {
    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)
    padding: 6
    horizontalPadding: padding + 2
    spacing: 6
}
