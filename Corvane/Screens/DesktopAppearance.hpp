// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>

#include <QAccessible>
#include <QDBusVariant>
#include <QObject>

namespace corvane {

// Light or dark, as the desktop says: the XDG desktop portal's color-scheme
// setting (followed live), else the lightness of the desktop palette's window
// colour. CORVANE_COLOR_SCHEME=light|dark overrides both (screenshots, tests).
// Also whether assistive technology (a screen reader) reads the window.
class DesktopAppearance : public QObject, private QAccessible::ActivationObserver {
    Q_OBJECT
    Q_PROPERTY(bool dark READ dark NOTIFY darkChanged)
    Q_PROPERTY(bool assistiveTechnology READ assistiveTechnology NOTIFY assistiveTechnologyChanged)

public:
    explicit DesktopAppearance(QObject* parent = nullptr);
    ~DesktopAppearance() override;

    bool dark() const noexcept { return dark_; }
    bool assistiveTechnology() const noexcept { return assistiveTechnology_; }

signals:
    void darkChanged();
    void assistiveTechnologyChanged();

private slots:
    void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void update();
    static std::optional<bool> fromPortalValue(const QVariant& value);

    std::optional<bool> override_;
    std::optional<bool> portal_;  // absent: no portal, or "no preference"
    bool dark_ = false;
    bool assistiveTechnology_ = false;

    void accessibilityActiveChanged(bool active) override;
};

}  // namespace corvane
