import QtQuick
import QtQuick.Shapes

// A line of recent rates, scaled to its own peak. Redrawn only when a new
// sample arrives.
Item {
    id: spark
    property var values: []
    property color color: Theme.accent
    implicitHeight: 30
    Accessible.ignored: true

    readonly property var points: {
        const n = values.length
        if (n < 2 || width <= 0) return []
        let peak = 1
        for (let i = 0; i < n; ++i) peak = Math.max(peak, values[i])
        const out = []
        for (let i = 0; i < n; ++i) {
            out.push(Qt.point(i * width / (n - 1), height - 1 - (values[i] / peak) * (height - 3)))
        }
        return out
    }

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Theme.cardBorder
    }
    Shape {
        anchors.fill: parent
        visible: spark.points.length > 1
        ShapePath {
            strokeColor: spark.color
            strokeWidth: 1.6
            fillColor: "transparent"
            joinStyle: ShapePath.RoundJoin
            capStyle: ShapePath.RoundCap
            startX: 0; startY: spark.height
            PathPolyline { path: spark.points }
        }
    }
}
