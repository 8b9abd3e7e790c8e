// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/DesktopAppearance.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace corvane {
namespace {

constexpr auto portalService = "org.freedesktop.portal.Desktop";
constexpr auto portalPath = "/org/freedesktop/portal/desktop";
constexpr auto settingsInterface = "org.freedesktop.portal.Settings";
constexpr auto appearanceGroup = "org.freedesktop.appearance";
constexpr auto colorSchemeKey = "color-scheme";

}  // namespace

DesktopAppearance::DesktopAppearance(QObject* parent) : QObject(parent) {
    assistiveTechnology_ = QAccessible::isActive();
    QAccessible::installActivationObserver(this);
    const QByteArray forced = qgetenv("CORVANE_COLOR_SCHEME");
    if (forced == "dark") override_ = true;
    if (forced == "light") override_ = false;

    if (!override_) {
        auto bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) {
            auto call = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, "Read");
            call << QString(appearanceGroup) << QString(colorSchemeKey);
            // A portal answers at once; without one, do not hold up the first frame.
            QDBusReply<QVariant> reply = bus.call(call, QDBus::Block, 500);
            if (reply.isValid()) portal_ = fromPortalValue(reply.value());
            bus.connect(portalService, portalPath, settingsInterface, "SettingChanged", this,
                        SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
        }
    }
    if (qApp) qApp->installEventFilter(this);
    update();
}

std::optional<bool> DesktopAppearance::fromPortalValue(const QVariant& value) {
    // Read returns the value wrapped in one more variant than SettingChanged.
    QVariant v = value;
    while (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>()) {
        v = qvariant_cast<QDBusVariant>(v).variant();
    }
    bool ok = false;
    const uint scheme = v.toUInt(&ok);
    if (!ok) return std::nullopt;
    if (scheme == 1) return true;   // prefer dark
    if (scheme == 2) return false;  // prefer light
    return std::nullopt;            // no preference: the palette decides
}

void DesktopAppearance::portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group != QLatin1String(appearanceGroup) || key != QLatin1String(colorSchemeKey)) return;
    portal_ = fromPortalValue(value.variant());
    update();
}

bool DesktopAppearance::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) update();
    return false;
}

void DesktopAppearance::update() {
    bool dark;
    if (override_) {
        dark = *override_;
    } else if (portal_) {
        dark = *portal_;
    } else {
        dark = QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
    }
    if (dark != dark_) {
        dark_ = dark;
        emit darkChanged();
    }
}

DesktopAppearance::~DesktopAppearance() { QAccessible::removeActivationObserver(this); }

void DesktopAppearance::accessibilityActiveChanged(bool active) {
    if (active == assistiveTechnology_) return;
    assistiveTechnology_ = active;
    emit assistiveTechnologyChanged();
}

}  // namespace corvane
