import QtQuick
import QtQuick.Layouts

// The panels of a signed-in user, in their fixed order.
ColumnLayout {
    objectName: "mainScreen"
    spacing: 12

    AppHeader {}
    SetupChecklist {}
    ConnectionPanel {}
    RouteSelector {}
    ThroughputPanel { visible: bridge.showThroughput }
    SmartRoutingRow {}
    SitesPanel {}
    LanSharePanel {}
    ServerList {}
    ErrorBanner { visible: bridge.errorMessage !== "" }
}
