#include "CorvaneCore/Panel/CredentialBackend.hpp"

#include <cerrno>
#include <functional>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <libsecret/secret.h>

#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/Base64.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

std::shared_ptr<CredentialBackend> CredentialBackend::systemDefault() {
    if (SecretServiceCredentialBackend::isAvailable()) return std::make_shared<SecretServiceCredentialBackend>();
    return std::make_shared<FileCredentialBackend>(FileCredentialBackend::defaultPath());
}

// MARK: Secret Service

namespace {

const SecretSchema* credentialSchema() {
    static const SecretSchema schema = {
        "com.corvane.client.Credential",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"access_group", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &schema;
}

// Attribute table whose strings live as long as the Attributes object.
class Attributes {
public:
    explicit Attributes(const CredentialQuery& q)
        : service_(q.service), account_(q.account), group_(q.accessGroup.value_or("")) {
        // An absent group is stored as "" so that items of different groups never match each other.
        table_ = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(table_, const_cast<char*>("service"), service_.data());
        g_hash_table_insert(table_, const_cast<char*>("account"), account_.data());
        g_hash_table_insert(table_, const_cast<char*>("access_group"), group_.data());
    }
    ~Attributes() { g_hash_table_unref(table_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    GHashTable* get() const { return table_; }
    std::string label() const { return service_ + " (" + account_ + ")"; }

private:
    std::string service_, account_, group_;
    GHashTable* table_;
};

std::int32_t statusOf(GError* error) {
    std::int32_t status = CredentialStatus::notAvailable;
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED: status = CredentialStatus::interactionNotAllowed; break;
        case SECRET_ERROR_NO_SUCH_OBJECT: status = CredentialStatus::itemNotFound; break;
        case SECRET_ERROR_ALREADY_EXISTS: status = CredentialStatus::duplicateItem; break;
        default: status = CredentialStatus::decode; break;
        }
    } else if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_PERMISSION_DENIED) {
        status = CredentialStatus::authFailed;
    }
    g_error_free(error);
    return status;
}

std::int32_t lookup(const Attributes& attributes, std::string* bytes) {
    GError* error = nullptr;
    SecretValue* value = secret_password_lookupv_binary_sync(credentialSchema(), attributes.get(), nullptr, &error);
    if (error) return statusOf(error);
    if (!value) return CredentialStatus::itemNotFound;
    if (bytes) {
        gsize length = 0;
        const gchar* data = secret_value_get(value, &length);
        bytes->assign(data, length);
    }
    secret_value_unref(value);
    return CredentialStatus::success;
}

std::int32_t store(const Attributes& attributes, std::string_view bytes) {
    SecretValue* value = secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream");
    GError* error = nullptr;
    gboolean ok = secret_password_storev_binary_sync(credentialSchema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                                     attributes.label().c_str(), value, nullptr, &error);
    secret_value_unref(value);
    if (error) return statusOf(error);
    return ok ? CredentialStatus::success : CredentialStatus::notAvailable;
}

}  // namespace

bool SecretServiceCredentialBackend::isAvailable() {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) return false;  // never let GLib try to spawn a bus
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    if (!service) return false;
    g_object_unref(service);
    return true;
}

std::int32_t SecretServiceCredentialBackend::update(const CredentialQuery& query, std::string_view bytes) {
    Attributes attributes(query);
    if (std::int32_t status = lookup(attributes, nullptr); status != CredentialStatus::success) return status;
    return store(attributes, bytes);  // storing under the same attributes replaces the item
}

std::int32_t SecretServiceCredentialBackend::add(const CredentialQuery& query, std::string_view bytes) {
    Attributes attributes(query);
    std::int32_t status = lookup(attributes, nullptr);
    if (status == CredentialStatus::success) return CredentialStatus::duplicateItem;
    if (status != CredentialStatus::itemNotFound) return status;
    return store(attributes, bytes);
}

std::int32_t SecretServiceCredentialBackend::read(const CredentialQuery& query, std::string& bytes) {
    return lookup(Attributes(query), &bytes);
}

std::int32_t SecretServiceCredentialBackend::remove(const CredentialQuery& query) {
    Attributes attributes(query);
    GError* error = nullptr;
    gboolean removed = secret_password_clearv_sync(credentialSchema(), attributes.get(), nullptr, &error);
    if (error) return statusOf(error);
    return removed ? CredentialStatus::success : CredentialStatus::itemNotFound;
}

// MARK: File

namespace {

std::string itemKey(const CredentialQuery& q) {
    std::string key;
    if (q.accessGroup) key.append(*q.accessGroup).push_back('/');
    key.append(q.service).push_back('/');
    key.append(q.account);
    return key;
}

// Serialises the processes that share the file (the app, corvanectl).
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& file) {
        auto lockPath = file;
        lockPath += ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

std::int32_t errnoStatus(int error) {
    return error == EACCES || error == EPERM || error == EROFS ? CredentialStatus::writePermission : CredentialStatus::io;
}

struct Items {
    boost::json::object object;
    std::int32_t status = CredentialStatus::success;  // decode when the file is damaged
};

Items load(const std::filesystem::path& file) {
    Items items;
    std::optional<std::string> text;
    try {
        text = readFileIfExists(file);
    } catch (const std::system_error& e) {
        items.status = errnoStatus(e.code().value());
        return items;
    }
    if (!text) return items;
    boost::system::error_code ec;
    auto v = boost::json::parse(*text, ec);
    if (ec || !v.is_object()) {
        items.status = CredentialStatus::decode;
        return items;
    }
    items.object = std::move(v.get_object());
    return items;
}

std::int32_t saveItems(const std::filesystem::path& file, const boost::json::object& items) {
    try {
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all);
        writeFileAtomically(file, toJSONText(items, 2) + "\n", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    } catch (const std::system_error& e) {  // filesystem_error too
        return errnoStatus(e.code().value());
    }
    return CredentialStatus::success;
}

// A damaged file is kept beside the store for the user instead of being overwritten.
void setAside(const std::filesystem::path& file) {
    auto aside = file;
    aside += ".damaged";
    std::error_code ignored;
    std::filesystem::rename(file, aside, ignored);
}

// Changes the stored items under the file lock and saves them when `change`
// succeeds. A damaged file is set aside and counts as empty.
std::int32_t modifyItems(const std::filesystem::path& file, const std::function<std::int32_t(boost::json::object&)>& change) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    FileLock lock(file);
    Items items = load(file);
    if (items.status == CredentialStatus::decode) {
        setAside(file);
        items = Items{};
    }
    if (items.status != CredentialStatus::success) return items.status;
    if (std::int32_t status = change(items.object); status != CredentialStatus::success) return status;
    return saveItems(file, items.object);
}

}  // namespace

FileCredentialBackend::FileCredentialBackend(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path FileCredentialBackend::defaultPath() { return xdgDataHome() / "corvane" / "credentials.json"; }

std::int32_t FileCredentialBackend::update(const CredentialQuery& query, std::string_view bytes) {
    return modifyItems(file_, [&](boost::json::object& items) {
        auto* item = items.if_contains(itemKey(query));
        if (!item) return CredentialStatus::itemNotFound;
        *item = base64Encode(bytes);
        return CredentialStatus::success;
    });
}

std::int32_t FileCredentialBackend::add(const CredentialQuery& query, std::string_view bytes) {
    return modifyItems(file_, [&](boost::json::object& items) {
        const std::string key = itemKey(query);
        if (items.contains(key)) return CredentialStatus::duplicateItem;
        items[key] = base64Encode(bytes);
        return CredentialStatus::success;
    });
}

std::int32_t FileCredentialBackend::read(const CredentialQuery& query, std::string& bytes) {
    Items items = load(file_);
    if (items.status != CredentialStatus::success) return items.status;
    const auto* item = items.object.if_contains(itemKey(query));
    if (!item) return CredentialStatus::itemNotFound;
    if (!item->is_string()) return CredentialStatus::decode;
    auto decoded = base64Decode(item->get_string());
    if (!decoded) return CredentialStatus::decode;
    bytes = std::move(*decoded);
    return CredentialStatus::success;
}

std::int32_t FileCredentialBackend::remove(const CredentialQuery& query) {
    if (!std::filesystem::exists(file_.parent_path())) return CredentialStatus::itemNotFound;
    FileLock lock(file_);
    Items items = load(file_);
    if (items.status != CredentialStatus::success) return items.status;
    if (!items.object.erase(itemKey(query))) return CredentialStatus::itemNotFound;
    return saveItems(file_, items.object);
}

}  // namespace corvane
