// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QList>
#include <QQuickPaintedItem>
#include <QVariantList>

namespace corvane {

// A line of recent rates, scaled to its own peak, over a one-pixel baseline.
// Painted with QPainter: a vector shape would load Qt Quick Shapes (about a
// megabyte resident) for two small lines. Repainted only when a sample arrives.
class Sparkline : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QVariantList values READ values WRITE setValues NOTIFY valuesChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(QColor baselineColor READ baselineColor WRITE setBaselineColor NOTIFY baselineColorChanged)

public:
    explicit Sparkline(QQuickItem* parent = nullptr);

    QVariantList values() const;
    void setValues(const QVariantList& values);
    QColor color() const { return color_; }
    void setColor(const QColor& color);
    QColor baselineColor() const { return baselineColor_; }
    void setBaselineColor(const QColor& color);

    void paint(QPainter* painter) override;

signals:
    void valuesChanged();
    void colorChanged();
    void baselineColorChanged();

private:
    QList<double> values_;
    QColor color_;
    QColor baselineColor_;
};

}  // namespace corvane
