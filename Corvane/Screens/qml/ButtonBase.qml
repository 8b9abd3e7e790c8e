import QtQuick

// A push button's geometry: as wide and tall as its content plus padding, or
// its background's size if that is larger. The look comes from each user.
ControlBase {
    padding: 6
    horizontalPadding: padding + 2
    spacing: 6
}
