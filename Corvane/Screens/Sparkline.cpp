// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/Sparkline.hpp"

#include <algorithm>

#include <QPainter>
#include <QPolygonF>

namespace corvane {

Sparkline::Sparkline(QQuickItem* parent) : QQuickPaintedItem(parent) {
    setImplicitHeight(30);
    setAntialiasing(true);
}

QVariantList Sparkline::values() const {
    QVariantList out;
    out.reserve(values_.size());
    for (double v : values_) out.append(v);
    return out;
}

void Sparkline::setValues(const QVariantList& values) {
    QList<double> next;
    next.reserve(values.size());
    for (const QVariant& v : values) next.append(std::max(0.0, v.toDouble()));
    if (next == values_) return;
    values_ = std::move(next);
    update();
    emit valuesChanged();
}

void Sparkline::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
    emit colorChanged();
}

void Sparkline::setBaselineColor(const QColor& color) {
    if (color == baselineColor_) return;
    baselineColor_ = color;
    update();
    emit baselineColorChanged();
}

void Sparkline::paint(QPainter* painter) {
    const qreal w = width();
    const qreal h = height();
    painter->fillRect(QRectF(0, h - 1, w, 1), baselineColor_);
    const qsizetype n = values_.size();
    if (n < 2 || w <= 0 || h <= 3) return;
    const double peak = std::max(1.0, *std::max_element(values_.cbegin(), values_.cend()));
    QPolygonF line;
    line.reserve(n);
    for (qsizetype i = 0; i < n; ++i) line << QPointF(i * w / (n - 1), h - 1 - (values_[i] / peak) * (h - 3));
    QPen pen(color_, 1.6);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(pen);
    painter->drawPolyline(line);
}

}  // namespace corvane
