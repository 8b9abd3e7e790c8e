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
    Repeater {
        model: bridge.sites
        delegate: RowLayout {
            required property var model
            objectName: "site_" + model.siteId
            spacing: 10
            Layout.fillWidth: true
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
