#pragma once

#include <optional>

#include <QDBusVariant>
#include <QObject>

namespace corvane {

// Light or dark, as the desktop says: the XDG desktop portal's color-scheme
// setting (followed live), else the lightness of the desktop palette's window
// colour. CORVANE_COLOR_SCHEME=light|dark overrides both (screenshots, tests).
class DesktopAppearance : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool dark READ dark NOTIFY darkChanged)

public:
    explicit DesktopAppearance(QObject* parent = nullptr);

    bool dark() const noexcept { return dark_; }

signals:
    void darkChanged();

private slots:
    void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void update();
    static std::optional<bool> fromPortalValue(const QVariant& value);

    std::optional<bool> override_;
    std::optional<bool> portal_;  // absent: no portal, or "no preference"
    bool dark_ = false;
};

}  // namespace corvane
