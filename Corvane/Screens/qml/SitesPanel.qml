// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

Card {
    objectName: "sitesPanel"
    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        Icon { name: "building"; size: 18; color: Theme.secondaryText }
        CVText { text: "Private networks"; font.bold: true }
        CVText {
            objectName: "sitesSubtitle"
            text: bridge.sitesSubtitle
            secondary: true
            horizontalAlignment: Text.AlignRight
            Layout.fillWidth: true
        }
    }
    // The rows sit in a Column, not in the card's layout: Qt 6.4's layouts keep
    // a removed child until their next polish, and a hidden window polishes
    // nothing, so rows replaced while the window was hidden were still laid out,
    // deleted, by the resize that shows it.
    Column {
        id: rows
        visible: siteRows.count > 0
        spacing: Theme.spacing
        Layout.fillWidth: true
        Repeater {
            id: siteRows
            model: bridge.sites
            delegate: RowLayout {
                required property var model
                objectName: "site_" + model.siteId
                spacing: 10
                width: rows.width
                ColumnLayout {
                    spacing: 1
                    Layout.fillWidth: true
                    CVText {
                        objectName: "siteText"
                        text: model.name + model.detail
                        Layout.fillWidth: true
                    }
                    CVText {
                        visible: model.gateway !== ""
                        text: model.gateway
                        secondary: true
                        Layout.fillWidth: true
                    }
                }
                CVSwitch {
                    objectName: "siteSwitch"
                    name: model.name
                    on: model.enabled
                    onToggledTo: (value) => bridge.setSiteEnabled(model.siteId, value)
                }
            }
        }
    }
}
