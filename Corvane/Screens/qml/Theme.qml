// SPDX-License-Identifier: GPL-3.0-or-later
pragma Singleton
import QtQuick

// Colours and sizes of the window, light or dark as the desktop says.
QtObject {
    readonly property bool dark: typeof appearance !== "undefined" && appearance !== null && appearance.dark

    readonly property color background: dark ? "#14171c" : "#f2f4f7"
    readonly property color card: dark ? "#1e232a" : "#ffffff"
    readonly property color cardBorder: dark ? "#2c333d" : "#e1e5eb"
    readonly property color raised: dark ? "#272d36" : "#eef1f5"
    readonly property color text: dark ? "#e8ecf1" : "#1b2129"
    readonly property color secondaryText: dark ? "#9aa5b4" : "#5d6877"
    // Disabled text and marks only: too faint for text a user must read.
    readonly property color faintText: dark ? "#6f7a89" : "#8b95a3"
    readonly property color accent: dark ? "#4c9dff" : "#1b66d1"
    // Text and marks on an accent fill: white is too faint on the dark theme's lighter blue.
    readonly property color accentText: dark ? "#0b1526" : "#ffffff"
    readonly property color good: dark ? "#3fcf8e" : "#0f7a49"
    readonly property color warn: dark ? "#f2b94b" : "#945800"
    readonly property color bad: dark ? "#ff6b6b" : "#bd2e3b"
    readonly property color badSurface: dark ? "#3a1f24" : "#fdecee"
    readonly property color warnSurface: dark ? "#3a3020" : "#fff5e0"
    readonly property color focus: accent
    // An off switch's track and its knob: they must stand out from the card.
    readonly property color switchOff: dark ? "#6f7a89" : "#7a8391"
    readonly property color switchKnob: "#ffffff"
    readonly property color debugText: dark ? "#8d98a7" : "#66707e"
    // Over the window under a modal box, and under a box that leaves it usable.
    readonly property color scrim: "#7f28282a"
    readonly property color faintScrim: "#1f28282a"

    readonly property int radius: 10
    readonly property int padding: 14
    readonly property int spacing: 10
    readonly property int fontSize: 13
    readonly property int smallFont: 11
    readonly property int titleFont: 15
    readonly property string monoFont: "DejaVu Sans Mono"
}
