// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick

// One of a row of choices, filled while it is the chosen one. It shows the
// model's choice: a click asks for it (chosen), and the next snapshot marks it.
// The segments of one parent are a radio group: Tab reaches the chosen one
// only, and the arrow keys choose the one before or after it.
ButtonBase {
    id: control
    property bool selected: false
    property real minimumWidth: 0
    property real minimumHeight: 28
    readonly property bool isSegment: true
    signal chosen()

    checkable: true
    checked: selected
    font.pixelSize: Theme.smallFont + 1
    Accessible.role: Accessible.RadioButton
    Accessible.name: text
    Accessible.description: !usable ? reason : ""
    HoverTip { text: control.usable ? "" : control.reason }

    function segments() {
        return parent ? Array.prototype.filter.call(parent.children, (c) => c.isSegment === true && c.visible && c.enabled) : []
    }
    // The focused one keeps its place until the focus leaves (Qt refuses otherwise).
    activeFocusOnTab: {
        const group = segments()
        return activeFocus || (group.some((c) => c.checked) ? checked : group[0] === control)
    }
    function step(by) {
        const group = segments()
        const at = group.indexOf(control)
        if (at < 0 || group.length < 2) return
        const next = group[(at + by + group.length) % group.length]
        next.forceActiveFocus(Qt.TabFocusReason)
        if (!next.checked) next.activate()
    }
    Keys.onLeftPressed: step(-1)
    Keys.onUpPressed: step(-1)
    Keys.onRightPressed: step(1)
    Keys.onDownPressed: step(1)
    onClicked: {
        checked = Qt.binding(() => control.selected)
        control.chosen()
    }
    contentItem: Text {
        text: control.text
        font: control.font
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: control.checked ? Theme.accentText : (control.usable ? Theme.text : Theme.faintText)
    }
    background: Rectangle {
        implicitWidth: control.minimumWidth
        implicitHeight: control.minimumHeight
        radius: 7
        color: control.checked ? Theme.accent : Theme.raised
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Theme.focus : Theme.cardBorder
    }
}
