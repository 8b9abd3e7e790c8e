// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/StatusNotifierTray.hpp"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QImage>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

namespace corvane {

// The wire types of both interfaces.
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;  // ARGB32, each pixel in network byte order
};
struct SniToolTip {
    QString iconName;
    QList<SniPixmap> icon;
    QString title;
    QString text;
};
struct MenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayoutItem> children;
};
struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
struct MenuItemRemovedProperties {
    int id = 0;
    QStringList names;
};

}  // namespace corvane

Q_DECLARE_METATYPE(corvane::SniPixmap)
Q_DECLARE_METATYPE(corvane::SniToolTip)
Q_DECLARE_METATYPE(corvane::MenuLayoutItem)
Q_DECLARE_METATYPE(corvane::MenuItemProperties)
Q_DECLARE_METATYPE(corvane::MenuItemRemovedProperties)

namespace corvane {

QDBusArgument& operator<<(QDBusArgument& arg, const SniPixmap& p) {
    arg.beginStructure();
    arg << p.width << p.height << p.argb;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniPixmap& p) {
    arg.beginStructure();
    arg >> p.width >> p.height >> p.argb;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const SniToolTip& t) {
    arg.beginStructure();
    arg << t.iconName << t.icon << t.title << t.text;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniToolTip& t) {
    arg.beginStructure();
    arg >> t.iconName >> t.icon >> t.title >> t.text;
    arg.endStructure();
    return arg;
}
// (ia{sv}av): the children are variants holding the same structure.
QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayoutItem& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const MenuLayoutItem& child : item.children) arg << QDBusVariant(QVariant::fromValue(child));
    arg.endArray();
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayoutItem& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.beginArray();
    item.children.clear();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        MenuLayoutItem inner;
        qvariant_cast<QDBusArgument>(child.variant()) >> inner;
        item.children.append(inner);
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemProperties& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemProperties& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemRemovedProperties& item) {
    arg.beginStructure();
    arg << item.id << item.names;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemRemovedProperties& item) {
    arg.beginStructure();
    arg >> item.id >> item.names;
    arg.endStructure();
    return arg;
}

namespace {

constexpr auto itemInterface = "org.kde.StatusNotifierItem";
constexpr auto itemPath = "/StatusNotifierItem";
constexpr auto menuInterface = "com.canonical.dbusmenu";
constexpr auto menuPath = "/MenuBar";
constexpr auto watcherService = "org.kde.StatusNotifierWatcher";
constexpr auto watcherPath = "/StatusNotifierWatcher";
constexpr auto propertiesInterface = "org.freedesktop.DBus.Properties";

constexpr auto itemXml = R"xml(  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
)xml";

constexpr auto menuXml = R"xml(  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/>
      <arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/>
      <arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/>
      <arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/>
      <arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/>
      <arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="updatesNeeded" type="ai" direction="out"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/>
      <arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
    <signal name="ItemActivationRequested"><arg name="id" type="i"/><arg name="timestamp" type="u"/></signal>
  </interface>
)xml";

QString introspectionDocument(const char* interfaceXml) {
    return QStringLiteral(
               "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n"
               "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
               "    <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
               "  </interface>\n"
               "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
               "    <method name=\"Get\"><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
               "<arg type=\"v\" direction=\"out\"/></method>\n"
               "    <method name=\"GetAll\"><arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"out\"/></method>\n"
               "  </interface>\n") +
           QLatin1String(interfaceXml) + QStringLiteral("</node>\n");
}

void registerWireTypes() {
    static const bool once = [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<QList<SniPixmap>>();
        qDBusRegisterMetaType<SniToolTip>();
        qDBusRegisterMetaType<MenuLayoutItem>();
        qDBusRegisterMetaType<MenuItemProperties>();
        qDBusRegisterMetaType<QList<MenuItemProperties>>();
        qDBusRegisterMetaType<MenuItemRemovedProperties>();
        qDBusRegisterMetaType<QList<MenuItemRemovedProperties>>();
        qDBusRegisterMetaType<QList<QStringList>>();
        return true;
    }();
    (void)once;
}

// Each size the icon was drawn at, as hosts want it: they pick the nearest.
QList<SniPixmap> pixmapsOf(const QIcon& icon) {
    QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty()) sizes = {QSize(16, 16), QSize(22, 22), QSize(32, 32), QSize(48, 48)};
    QList<SniPixmap> out;
    for (const QSize& size : sizes) {
        const QImage image = icon.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) continue;
        SniPixmap pixmap{image.width(), image.height(), QByteArray(image.width() * image.height() * 4, Qt::Uninitialized)};
        auto* out32 = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) *out32++ = qToBigEndian(line[x]);
        }
        out.append(pixmap);
    }
    return out;
}

// dbusmenu names modifiers in full and the key as Qt writes it: [["Control", "Q"]].
QList<QStringList> shortcutKeys(const QKeySequence& sequence) {
    QList<QStringList> out;
    for (int i = 0; i < sequence.count(); ++i) {
        const QKeyCombination combination = sequence[i];
        QStringList keys;
        const Qt::KeyboardModifiers mods = combination.keyboardModifiers();
        if (mods & Qt::ControlModifier) keys << QStringLiteral("Control");
        if (mods & Qt::AltModifier) keys << QStringLiteral("Alt");
        if (mods & Qt::ShiftModifier) keys << QStringLiteral("Shift");
        if (mods & Qt::MetaModifier) keys << QStringLiteral("Super");
        keys << QKeySequence(combination.key()).toString(QKeySequence::PortableText);
        out.append(keys);
    }
    return out;
}

QVariantMap entryProperties(const TrayMenuEntry& entry) {
    QVariantMap p;
    if (entry.separator) {
        p.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        // An underscore marks a mnemonic; a literal one is doubled.
        p.insert(QStringLiteral("label"), QString(entry.label).replace(QLatin1Char('_'), QLatin1String("__")));
        p.insert(QStringLiteral("enabled"), entry.enabled);
    }
    p.insert(QStringLiteral("visible"), entry.visible);
    if (!entry.shortcut.isEmpty()) p.insert(QStringLiteral("shortcut"), QVariant::fromValue(shortcutKeys(entry.shortcut)));
    return p;
}

QVariantMap only(const QVariantMap& properties, const QStringList& names) {
    if (names.isEmpty()) return properties;
    QVariantMap out;
    for (const QString& name : names) {
        if (properties.contains(name)) out.insert(name, properties.value(name));
    }
    return out;
}

bool sameShape(const QList<TrayMenuEntry>& a, const QList<TrayMenuEntry>& b) {
    if (a.size() != b.size()) return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].separator != b[i].separator || a[i].shortcut != b[i].shortcut) return false;
    }
    return true;
}

QDBusMessage invalidArgs(const QDBusMessage& call, const QString& why) {
    return call.createErrorReply(QDBusError::InvalidArgs, why);
}

}  // namespace

// What the bus sees, shared by both objects. The bus may call them on its own
// thread, so everything in it is read and written under the lock.
struct StatusNotifierTray::State {
    mutable QMutex mutex;
    QList<SniPixmap> icon;
    QString title;
    QString text;
    QList<TrayMenuEntry> entries;
    uint revision = 1;
    StatusNotifierTray* owner = nullptr;
};

namespace {

using State = StatusNotifierTray::State;

// Runs on the tray's own thread, whatever thread the bus called from.
template <class Work>
void onTrayThread(StatusNotifierTray* tray, Work work) {
    QMetaObject::invokeMethod(tray, std::move(work), Qt::QueuedConnection);
}

// One object on the bus: its introspection and read-only properties here, its
// own interface's methods in `handleCall`.
class BusObject : public QDBusVirtualObject {
public:
    BusObject(std::shared_ptr<State> state, const char* interface, const char* xml)
        : state_(std::move(state)), interface_(interface), xml_(xml) {}

    QString introspect(const QString&) const override { return QLatin1String(xml_); }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        const QString interface = call.interface();
        const QString member = call.member();
        const QVariantList args = call.arguments();
        if (interface == QLatin1String("org.freedesktop.DBus.Introspectable") && member == QLatin1String("Introspect")) {
            return bus.send(call.createReply(introspectionDocument(xml_)));
        }
        if (interface == QLatin1String(propertiesInterface)) {
            if (member == QLatin1String("Set")) {
                return bus.send(call.createErrorReply(QDBusError::PropertyReadOnly, QStringLiteral("read-only")));
            }
            const QVariantMap all = properties();
            if (member == QLatin1String("GetAll")) return bus.send(call.createReply(QVariant::fromValue(all)));
            if (member != QLatin1String("Get") || args.size() != 2) return false;
            const QString name = args[1].toString();
            if (!all.contains(name)) {
                return bus.send(call.createErrorReply(QDBusError::UnknownProperty, QStringLiteral("no property ") + name));
            }
            return bus.send(call.createReply(QVariant::fromValue(QDBusVariant(all.value(name)))));
        }
        if (!interface.isEmpty() && interface != QLatin1String(interface_)) return false;
        return handleCall(call, member, args, bus);
    }

protected:
    virtual QVariantMap properties() const = 0;
    // False: no such method (the bus answers so).
    virtual bool handleCall(const QDBusMessage& call, const QString& member, const QVariantList& args,
                            const QDBusConnection& bus) = 0;

    std::shared_ptr<State> state_;

private:
    const char* interface_;
    const char* xml_;
};

class ItemObject final : public BusObject {
public:
    explicit ItemObject(std::shared_ptr<State> state) : BusObject(std::move(state), itemInterface, itemXml) {}

private:
    bool handleCall(const QDBusMessage& call, const QString& member, const QVariantList&,
                    const QDBusConnection& bus) override {
        if (member == QLatin1String("Activate")) {
            onTrayThread(state_->owner, [tray = state_->owner] {
                if (tray->activated) tray->activated();
            });
        } else if (member != QLatin1String("SecondaryActivate") && member != QLatin1String("ContextMenu") &&
                   member != QLatin1String("Scroll") && member != QLatin1String("ProvideXdgActivationToken")) {
            return false;
        }
        return bus.send(call.createReply());
    }

    QVariantMap properties() const override {
        QMutexLocker lock(&state_->mutex);
        const QString none;
        return {
            {QStringLiteral("Category"), QStringLiteral("ApplicationStatus")},
            {QStringLiteral("Id"), QStringLiteral("corvane")},
            {QStringLiteral("Title"), QStringLiteral("Corvane")},
            {QStringLiteral("Status"), QStringLiteral("Active")},
            {QStringLiteral("WindowId"), 0},
            {QStringLiteral("IconThemePath"), none},
            {QStringLiteral("IconName"), none},
            {QStringLiteral("IconPixmap"), QVariant::fromValue(state_->icon)},
            {QStringLiteral("OverlayIconName"), none},
            {QStringLiteral("OverlayIconPixmap"), QVariant::fromValue(QList<SniPixmap>())},
            {QStringLiteral("AttentionIconName"), none},
            {QStringLiteral("AttentionIconPixmap"), QVariant::fromValue(QList<SniPixmap>())},
            {QStringLiteral("AttentionMovieName"), none},
            {QStringLiteral("ToolTip"), QVariant::fromValue(SniToolTip{none, {}, state_->title, state_->text})},
            {QStringLiteral("ItemIsMenu"), false},
            {QStringLiteral("Menu"), QVariant::fromValue(QDBusObjectPath(QString::fromLatin1(menuPath)))},
        };
    }
};

class MenuObject final : public BusObject {
public:
    explicit MenuObject(std::shared_ptr<State> state) : BusObject(std::move(state), menuInterface, menuXml) {}

private:
    QVariantMap properties() const override {
        return {{QStringLiteral("Version"), 3u},
                {QStringLiteral("TextDirection"), QStringLiteral("ltr")},
                {QStringLiteral("Status"), QStringLiteral("normal")},
                {QStringLiteral("IconThemePath"), QStringList()}};
    }

    bool handleCall(const QDBusMessage& call, const QString& member, const QVariantList& args,
                    const QDBusConnection& bus) override {
        QMutexLocker lock(&state_->mutex);
        const QList<TrayMenuEntry>& entries = state_->entries;
        const auto exists = [&](int id) { return id >= 0 && id <= entries.size(); };
        const auto propertiesOf = [&](int id) {
            return id == 0 ? QVariantMap{{QStringLiteral("children-display"), QStringLiteral("submenu")}}
                           : entryProperties(entries[id - 1]);
        };

        if (member == QLatin1String("GetLayout") && args.size() == 3) {
            const int parent = args[0].toInt();
            const int depth = args[1].toInt();
            const QStringList names = args[2].toStringList();
            if (!exists(parent)) return bus.send(invalidArgs(call, QStringLiteral("no menu item %1").arg(parent)));
            MenuLayoutItem layout{parent, only(propertiesOf(parent), names), {}};
            if (parent == 0 && depth != 0) {
                for (int id = 1; id <= entries.size(); ++id) layout.children.append({id, only(propertiesOf(id), names), {}});
            }
            return bus.send(call.createReply({state_->revision, QVariant::fromValue(layout)}));
        }
        if (member == QLatin1String("GetGroupProperties") && args.size() == 2) {
            QList<int> ids = qdbus_cast<QList<int>>(args[0]);
            const QStringList names = args[1].toStringList();
            if (ids.isEmpty()) {
                for (int id = 1; id <= entries.size(); ++id) ids.append(id);
            }
            QList<MenuItemProperties> out;
            for (int id : ids) {
                if (exists(id)) out.append({id, only(propertiesOf(id), names)});
            }
            return bus.send(call.createReply(QVariant::fromValue(out)));
        }
        if (member == QLatin1String("GetProperty") && args.size() == 2) {
            const int id = args[0].toInt();
            const QVariantMap props = exists(id) ? propertiesOf(id) : QVariantMap();
            if (!props.contains(args[1].toString())) {
                return bus.send(invalidArgs(call, QStringLiteral("no property %1 on item %2").arg(args[1].toString()).arg(id)));
            }
            return bus.send(call.createReply(QVariant::fromValue(QDBusVariant(props.value(args[1].toString())))));
        }
        if (member == QLatin1String("Event") && args.size() == 4) {
            const int id = args[0].toInt();
            if (!exists(id)) return bus.send(invalidArgs(call, QStringLiteral("no menu item %1").arg(id)));
            if (args[1].toString() == QLatin1String("clicked")) clicked(id);
            return bus.send(call.createReply());
        }
        if (member == QLatin1String("EventGroup") && args.size() == 1) {
            QList<int> errors;
            const QDBusArgument events = qvariant_cast<QDBusArgument>(args[0]);
            events.beginArray();
            while (!events.atEnd()) {
                int id = 0;
                QString event;
                QDBusVariant data;
                uint timestamp = 0;
                events.beginStructure();
                events >> id >> event >> data >> timestamp;
                events.endStructure();
                if (!exists(id)) {
                    errors.append(id);
                } else if (event == QLatin1String("clicked")) {
                    clicked(id);
                }
            }
            events.endArray();
            return bus.send(call.createReply(QVariant::fromValue(errors)));
        }
        if (member == QLatin1String("AboutToShow")) return bus.send(call.createReply(false));
        if (member == QLatin1String("AboutToShowGroup")) {
            return bus.send(call.createReply({QVariant::fromValue(QList<int>()), QVariant::fromValue(QList<int>())}));
        }
        return false;
    }

    // Called under the lock.
    void clicked(int id) {
        const TrayMenuEntry& entry = state_->entries[id - 1];
        if (entry.separator || !entry.enabled || !entry.visible) return;
        onTrayThread(state_->owner, [tray = state_->owner, index = id - 1] {
            if (tray->triggered) tray->triggered(index);
        });
    }
};

}  // namespace

StatusNotifierTray::StatusNotifierTray(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), state_(std::make_shared<State>()) {
    registerWireTypes();
    state_->owner = this;
    static int count = 0;
    service_ = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(++count);
    item_ = std::make_unique<ItemObject>(state_);
    menu_ = std::make_unique<MenuObject>(state_);
    if (!bus_.isConnected()) return;
    bus_.registerVirtualObject(QString::fromLatin1(itemPath), static_cast<QDBusVirtualObject*>(item_.get()));
    bus_.registerVirtualObject(QString::fromLatin1(menuPath), static_cast<QDBusVirtualObject*>(menu_.get()));
    bus_.registerService(service_);

    // A panel that starts (or restarts) after us brings a new watcher.
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(watcherService), bus_,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                if (owner.isEmpty()) {
                    setAvailable(false);
                } else {
                    registerWithWatcher();
                }
            });
    bus_.connect(QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
                 QString::fromLatin1(watcherService), QStringLiteral("StatusNotifierHostRegistered"), this,
                 SLOT(checkHost()));
    registerWithWatcher();
}

StatusNotifierTray::~StatusNotifierTray() {
    if (bus_.isConnected()) {
        bus_.unregisterService(service_);
        bus_.unregisterObject(QString::fromLatin1(itemPath));
        bus_.unregisterObject(QString::fromLatin1(menuPath));
    }
}

void StatusNotifierTray::registerWithWatcher() {
    auto call = QDBusMessage::createMethodCall(QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
                                               QString::fromLatin1(watcherService),
                                               QStringLiteral("RegisterStatusNotifierItem"));
    call << service_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        if (done->isError()) {
            setAvailable(false);
        } else {
            checkHost();
        }
    });
}

// A watcher without a host (no panel reads it) shows nothing.
void StatusNotifierTray::checkHost() {
    auto call = QDBusMessage::createMethodCall(QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
                                               QString::fromLatin1(propertiesInterface), QStringLiteral("Get"));
    call << QString::fromLatin1(watcherService) << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *done;
        setAvailable(!reply.isError() && reply.value().variant().toBool());
    });
}

void StatusNotifierTray::setAvailable(bool available) {
    if (available == available_) return;
    available_ = available;
    if (availabilityChanged) availabilityChanged();
}

void StatusNotifierTray::emitItemSignal(const char* name, const QVariantList& arguments) {
    if (!bus_.isConnected()) return;
    auto signal = QDBusMessage::createSignal(QString::fromLatin1(itemPath), QString::fromLatin1(itemInterface),
                                             QString::fromLatin1(name));
    signal.setArguments(arguments);
    bus_.send(signal);
}

void StatusNotifierTray::setIcon(const QIcon& icon) {
    QList<SniPixmap> pixmaps = pixmapsOf(icon);
    {
        QMutexLocker lock(&state_->mutex);
        state_->icon = std::move(pixmaps);
    }
    emitItemSignal("NewIcon");
}

void StatusNotifierTray::setToolTip(const QString& title, const QString& text) {
    {
        QMutexLocker lock(&state_->mutex);
        if (state_->title == title && state_->text == text) return;
        state_->title = title;
        state_->text = text;
    }
    emitItemSignal("NewToolTip");
}

void StatusNotifierTray::setMenu(const QList<TrayMenuEntry>& entries) {
    QList<MenuItemProperties> changed;
    bool relayout = false;
    uint revision = 0;
    {
        QMutexLocker lock(&state_->mutex);
        if (state_->entries == entries) return;
        relayout = !sameShape(state_->entries, entries);
        if (!relayout) {
            for (qsizetype i = 0; i < entries.size(); ++i) {
                if (!(entries[i] == state_->entries[i])) changed.append({int(i) + 1, entryProperties(entries[i])});
            }
        }
        state_->entries = entries;
        if (relayout) revision = ++state_->revision;
    }
    if (!bus_.isConnected()) return;
    // Hosts refetch the whole menu on a new layout; a changed line only needs its properties.
    QDBusMessage signal;
    if (relayout) {
        signal = QDBusMessage::createSignal(QString::fromLatin1(menuPath), QString::fromLatin1(menuInterface),
                                            QStringLiteral("LayoutUpdated"));
        signal << revision << 0;
    } else {
        signal = QDBusMessage::createSignal(QString::fromLatin1(menuPath), QString::fromLatin1(menuInterface),
                                            QStringLiteral("ItemsPropertiesUpdated"));
        signal << QVariant::fromValue(changed) << QVariant::fromValue(QList<MenuItemRemovedProperties>());
    }
    bus_.send(signal);
}

}  // namespace corvane
