// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts
import Corvane.Screens.Native

Card {
    objectName: "throughputPanel"
    spacing: 12

    component RateRow: RowLayout {
        id: rateRow
        property string title
        property string iconName
        property string rate
        property string total
        property var values
        property color tone
        spacing: 10
        Layout.fillWidth: true
        Icon { name: rateRow.iconName; size: 18; color: rateRow.tone }
        ColumnLayout {
            spacing: 0
            Layout.preferredWidth: 118
            CVText { text: rateRow.title; secondary: true }
            CVText {
                objectName: rateRow.objectName + "Rate"
                text: rateRow.rate
                font.pixelSize: 16
                font.bold: true
                wrapMode: Text.NoWrap
            }
        }
        ColumnLayout {
            spacing: 3
            Layout.fillWidth: true
            Sparkline {
                objectName: rateRow.objectName + "Sparkline"
                values: rateRow.values
                color: rateRow.tone
                baselineColor: Theme.cardBorder
                Layout.fillWidth: true
            }
            CVText {
                objectName: rateRow.objectName + "Total"
                text: rateRow.total
                secondary: true
                horizontalAlignment: Text.AlignRight
                Layout.fillWidth: true
            }
        }
    }

    RateRow {
        objectName: "download"
        title: "Download"
        iconName: "arrow-down"
        tone: Theme.good
        rate: bridge.downRate
        total: bridge.downTotal
        values: bridge.downHistory
    }
    RateRow {
        objectName: "upload"
        title: "Upload"
        iconName: "arrow-up"
        tone: Theme.accent
        rate: bridge.upRate
        total: bridge.upTotal
        values: bridge.upHistory
    }
}
