import QtQuick
import QtQuick.Layouts

// The tunnel service's setup steps. It renders nothing while the service is
// ready; its banners come with the service check of the tray work.
ColumnLayout {
    objectName: "setupChecklist"
    visible: false
    Layout.fillWidth: true
}
