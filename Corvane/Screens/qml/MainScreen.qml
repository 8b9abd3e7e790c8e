// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.Layouts

// The panels of a signed-in user, in their fixed order.
ColumnLayout {
    objectName: "mainScreen"
    spacing: 12

    AppHeader {}
    // Made only while there is something to say.
    Loader {
        objectName: "setupChecklist"
        active: bridge.checklistTitle !== ""
        visible: active
        Layout.fillWidth: true
        sourceComponent: SetupChecklist {}
    }
    ConnectionPanel {}
    RouteSelector {}
    ThroughputPanel { visible: bridge.showThroughput }
    SmartRoutingRow {}
    LockdownRow { visible: bridge.lockdownOffered }
    SitesPanel {}
    LanSharePanel {}
    DesktopPanel {}
    ServerList {}
    Loader {
        objectName: "errorBanner"
        active: bridge.errorMessage !== ""
        visible: active
        Layout.fillWidth: true
        sourceComponent: ErrorBanner {}
    }
}
