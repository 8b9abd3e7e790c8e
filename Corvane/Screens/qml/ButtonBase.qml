// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// A push button's padding; the behaviour comes from ControlBase, the look from
// each user.
ControlBase {
    padding: 6
    horizontalPadding: padding + 2
    spacing: 6
}
