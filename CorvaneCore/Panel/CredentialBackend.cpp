// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/CredentialBackend.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <thread>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    std::shared_ptr<CredentialBackend> secretService;
    // A private world (the demo) keeps its token in its own file even where the
    // user's keyring answers on a session bus it shares for the tray.
    const char* only = std::getenv("CORVANE_CREDENTIAL_STORE");
    const bool fileOnly = only && std::string_view(only) == "file";
    if (!fileOnly && SecretServiceCredentialBackend::isAvailable()) {
        secretService = std::make_shared<SecretServiceCredentialBackend>();
    }
    return std::make_shared<SystemCredentialBackend>(
        std::move(secretService), std::make_shared<FileCredentialBackend>(FileCredentialBackend::defaultPath()));
}

// MARK: Secret Service

namespace {

// libsecret and the GLib, GObject and GIO stack under it are loaded only when a
// session bus is there to ask: a process without one (a shell over SSH, a
// service, the demo) is spared their ~2 MB, and a system without libsecret keeps
// its credentials in the file.
struct SecretLibrary {
#define CORVANE_SECRET_FUNCTIONS(X)                                                                         \
    X(secret_password_lookupv_binary_sync) X(secret_password_storev_binary_sync) X(secret_password_clearv_sync) \
    X(secret_service_get_sync) X(secret_value_new) X(secret_value_get) X(secret_value_unref)                   \
    X(secret_error_get_quark) X(g_io_error_quark) X(g_error_free) X(g_object_unref) X(g_hash_table_new)        \
    X(g_hash_table_insert) X(g_hash_table_unref) X(g_str_hash) X(g_str_equal)                                \
    X(secret_collection_for_alias_sync) X(secret_collection_get_locked)
#define CORVANE_SECRET_POINTER(name) decltype(&::name) name = nullptr;
    CORVANE_SECRET_FUNCTIONS(CORVANE_SECRET_POINTER)
#undef CORVANE_SECRET_POINTER

    // Null where the library or one of its functions is missing.
    static const SecretLibrary* get() {
        static const SecretLibrary* library = load();
        return library;
    }

private:
    static const SecretLibrary* load() {
        // Never unloaded: GLib's types and worker threads outlive any one call.
        void* handle = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle) return nullptr;
        static SecretLibrary library;
        bool complete = true;
#define CORVANE_SECRET_RESOLVE(name)                                                     \
    library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
    complete = complete && library.name;
        CORVANE_SECRET_FUNCTIONS(CORVANE_SECRET_RESOLVE)
#undef CORVANE_SECRET_RESOLVE
        return complete ? &library : nullptr;
    }
#undef CORVANE_SECRET_FUNCTIONS
};

// Only reached once the backend's entry points have found the library.
const SecretLibrary& secretLibrary() { return *SecretLibrary::get(); }


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
        const auto& glib = secretLibrary();
        table_ = glib.g_hash_table_new(glib.g_str_hash, glib.g_str_equal);
        glib.g_hash_table_insert(table_, const_cast<char*>("service"), service_.data());
        glib.g_hash_table_insert(table_, const_cast<char*>("account"), account_.data());
        glib.g_hash_table_insert(table_, const_cast<char*>("access_group"), group_.data());
    }
    ~Attributes() { secretLibrary().g_hash_table_unref(table_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    GHashTable* get() const { return table_; }
    std::string label() const { return service_ + " (" + account_ + ")"; }

private:
    std::string service_, account_, group_;
    GHashTable* table_;
};

std::int32_t statusOf(GError* error) {
    const auto& secret = secretLibrary();
    std::int32_t status = CredentialStatus::notAvailable;
    if (error->domain == secret.secret_error_get_quark()) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED: status = CredentialStatus::interactionNotAllowed; break;
        case SECRET_ERROR_NO_SUCH_OBJECT: status = CredentialStatus::itemNotFound; break;
        case SECRET_ERROR_ALREADY_EXISTS: status = CredentialStatus::duplicateItem; break;
        default: status = CredentialStatus::decode; break;
        }
    } else if (error->domain == secret.g_io_error_quark() && error->code == G_IO_ERROR_PERMISSION_DENIED) {
        status = CredentialStatus::authFailed;
    } else if (error->domain == secret.g_io_error_quark() && error->code == G_IO_ERROR_CANCELLED) {
        status = CredentialStatus::userCanceled;
    }
    secret.g_error_free(error);
    return status;
}

std::int32_t lookup(const Attributes& attributes, std::string* bytes) {
    const auto& secret = secretLibrary();
    GError* error = nullptr;
    SecretValue* value = secret.secret_password_lookupv_binary_sync(credentialSchema(), attributes.get(), nullptr, &error);
    if (error) return statusOf(error);
    if (!value) return CredentialStatus::itemNotFound;
    if (bytes) {
        gsize length = 0;
        const gchar* data = secret.secret_value_get(value, &length);
        bytes->assign(data, length);
    }
    secret.secret_value_unref(value);
    return CredentialStatus::success;
}

// Why a store into the default keyring failed. libsecret goes on after a
// prompt the user cancelled and then fails on the keyring that is still
// missing or locked, so the failure itself rarely says so: ask the service.
std::int32_t storeFailure(std::int32_t status) {
    const auto& secret = secretLibrary();
    GError* error = nullptr;
    SecretService* service = secret.secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (error) {
        secret.g_error_free(error);
        return CredentialStatus::notAvailable;
    }
    SecretCollection* collection =
        secret.secret_collection_for_alias_sync(service, "default", SECRET_COLLECTION_NONE, nullptr, &error);
    if (error) {
        secret.g_error_free(error);
    } else if (!collection) {
        status = CredentialStatus::noSuchKeychain;
    } else {
        if (secret.secret_collection_get_locked(collection)) status = CredentialStatus::interactionNotAllowed;
        secret.g_object_unref(collection);
    }
    secret.g_object_unref(service);
    return status;
}

std::int32_t store(const Attributes& attributes, std::string_view bytes) {
    const auto& secret = secretLibrary();
    SecretValue* value = secret.secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream");
    GError* error = nullptr;
    gboolean ok = secret.secret_password_storev_binary_sync(credentialSchema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                                            attributes.label().c_str(), value, nullptr, &error);
    secret.secret_value_unref(value);
    if (error) return storeFailure(statusOf(error));
    return ok ? CredentialStatus::success : storeFailure(CredentialStatus::notAvailable);
}

}  // namespace

namespace {

// Where GLib will find the session bus without starting one: the address in
// DBUS_SESSION_BUS_ADDRESS, else the socket $XDG_RUNTIME_DIR/bus that systemd
// and dbus-broker provide. Beyond those GLib would autolaunch a bus.
bool sessionBusIsReachable() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return false;
    struct stat st {};
    return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

bool SecretServiceCredentialBackend::isAvailable() {
    if (!sessionBusIsReachable()) return false;
    const SecretLibrary* secret = SecretLibrary::get();
    if (!secret) return false;
    GError* error = nullptr;
    SecretService* service = secret->secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (error) {
        secret->g_error_free(error);
        return false;
    }
    if (!service) return false;
    secret->g_object_unref(service);
    return true;
}

std::int32_t SecretServiceCredentialBackend::update(const CredentialQuery& query, std::string_view bytes) {
    if (!SecretLibrary::get()) return CredentialStatus::notAvailable;
    Attributes attributes(query);
    if (std::int32_t status = lookup(attributes, nullptr); status != CredentialStatus::success) return status;
    return store(attributes, bytes);  // storing under the same attributes replaces the item
}

std::int32_t SecretServiceCredentialBackend::add(const CredentialQuery& query, std::string_view bytes) {
    if (!SecretLibrary::get()) return CredentialStatus::notAvailable;
    Attributes attributes(query);
    std::int32_t status = lookup(attributes, nullptr);
    if (status == CredentialStatus::success) return CredentialStatus::duplicateItem;
    if (status != CredentialStatus::itemNotFound) return status;
    return store(attributes, bytes);
}

std::int32_t SecretServiceCredentialBackend::read(const CredentialQuery& query, std::string& bytes) {
    if (!SecretLibrary::get()) return CredentialStatus::notAvailable;
    return lookup(Attributes(query), &bytes);
}

std::int32_t SecretServiceCredentialBackend::remove(const CredentialQuery& query) {
    if (!SecretLibrary::get()) return CredentialStatus::notAvailable;
    Attributes attributes(query);
    GError* error = nullptr;
    gboolean removed = secretLibrary().secret_password_clearv_sync(credentialSchema(), attributes.get(), nullptr, &error);
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

std::int32_t errnoStatus(int error) {
    return error == EACCES || error == EPERM || error == EROFS ? CredentialStatus::writePermission : CredentialStatus::io;
}

// Serialises the processes that share the file (the agent, corvanectl). A
// holder that keeps it past `wait` (stopped, or stuck) makes this fail with
// interactionNotAllowed rather than hang the caller.
class FileLock {
public:
    FileLock(const std::filesystem::path& file, std::chrono::milliseconds wait) {
        auto lockPath = file;
        lockPath += ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            status_ = errnoStatus(errno);
            return;
        }
        // flock has no timed wait: poll, briefly at first, as a change holds it only for one write.
        const auto deadline = std::chrono::steady_clock::now() + wait;
        std::chrono::milliseconds pause(1);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            const auto now = std::chrono::steady_clock::now();
            if (error == EINTR) continue;
            if (error != EWOULDBLOCK || now >= deadline) {
                status_ = error == EWOULDBLOCK ? CredentialStatus::interactionNotAllowed : errnoStatus(error);
                ::close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::int32_t status() const { return status_; }

private:
    int fd_ = -1;
    std::int32_t status_ = CredentialStatus::success;
};

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
std::int32_t modifyItems(const std::filesystem::path& file, std::chrono::milliseconds lockWait,
                         const std::function<std::int32_t(boost::json::object&)>& change) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    FileLock lock(file, lockWait);
    if (!lock.ok()) return lock.status();
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

FileCredentialBackend::FileCredentialBackend(std::filesystem::path file, std::chrono::milliseconds lockWait)
    : file_(std::move(file)), lockWait_(lockWait) {
    // A writer killed mid-write left a copy of every stored token behind.
    removeAbandonedTemporaries(file_.parent_path());
}

std::filesystem::path FileCredentialBackend::defaultPath() { return xdgDataHome() / "corvane" / "credentials.json"; }

std::int32_t FileCredentialBackend::update(const CredentialQuery& query, std::string_view bytes) {
    return modifyItems(file_, lockWait_, [&](boost::json::object& items) {
        auto* item = items.if_contains(itemKey(query));
        if (!item) return CredentialStatus::itemNotFound;
        *item = base64Encode(bytes);
        return CredentialStatus::success;
    });
}

std::int32_t FileCredentialBackend::add(const CredentialQuery& query, std::string_view bytes) {
    return modifyItems(file_, lockWait_, [&](boost::json::object& items) {
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
    std::error_code ec;
    const bool folderExists = std::filesystem::exists(file_.parent_path(), ec);
    if (ec) return errnoStatus(ec.value());
    if (!folderExists) return CredentialStatus::itemNotFound;
    FileLock lock(file_, lockWait_);
    if (!lock.ok()) return lock.status();
    Items items = load(file_);
    if (items.status == CredentialStatus::decode) {
        // Nothing in a damaged file can be read back, and whatever it still holds
        // must not outlive the removal: it goes, so that signing out succeeds.
        if (!std::filesystem::remove(file_, ec) && ec) return errnoStatus(ec.value());
        return CredentialStatus::success;
    }
    if (items.status != CredentialStatus::success) return items.status;
    if (!items.object.erase(itemKey(query))) return CredentialStatus::itemNotFound;
    return saveItems(file_, items.object);
}

// MARK: Both

namespace {

// The file's note of the accounts whose copies in the Secret Service are out of
// date: one item per service and group, the accounts one a line.
CredentialQuery outdatedNote(const CredentialQuery& item) {
    return {item.service, "@outdated-in-secret-service", item.accessGroup};
}

bool succeeded(std::int32_t status) {
    return status == CredentialStatus::success || status == CredentialStatus::itemNotFound;
}

}  // namespace

SystemCredentialBackend::SystemCredentialBackend(std::shared_ptr<CredentialBackend> secretService,
                                                 std::shared_ptr<CredentialBackend> file)
    : secretService_(std::move(secretService)), file_(std::move(file)) {}

std::int32_t SystemCredentialBackend::settle(const CredentialQuery& query) {
    std::string accounts;
    const std::int32_t status = file_->read(outdatedNote(query), accounts);
    // A damaged file says nothing either way; the Secret Service's copy is all there is.
    if (status == CredentialStatus::itemNotFound || status == CredentialStatus::decode) return CredentialStatus::success;
    if (status != CredentialStatus::success) return status;
    // Every account the note names goes, not only the one asked for: they were changed together.
    for (std::string_view rest = accounts; !rest.empty();) {
        const auto end = rest.find('\n');
        const std::string_view account = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (account.empty()) continue;
        const std::int32_t removed = secretService_->remove({query.service, account, query.accessGroup});
        if (!succeeded(removed)) return removed;
    }
    const std::int32_t cleared = file_->remove(outdatedNote(query));
    return succeeded(cleared) ? CredentialStatus::success : cleared;
}

std::int32_t SystemCredentialBackend::markOutdated(const CredentialQuery& query) {
    std::string accounts;
    std::int32_t status = file_->read(outdatedNote(query), accounts);
    if (status == CredentialStatus::decode) {
        accounts.clear();  // the write below sets the damaged file aside
    } else if (status != CredentialStatus::success && status != CredentialStatus::itemNotFound) {
        return status;
    }
    const std::string line = std::string(query.account) + "\n";
    if (("\n" + accounts).find("\n" + line) != std::string::npos) return CredentialStatus::success;
    accounts += line;
    status = file_->update(outdatedNote(query), accounts);
    if (status == CredentialStatus::itemNotFound) status = file_->add(outdatedNote(query), accounts);
    return status;
}

template <class Write>
std::int32_t SystemCredentialBackend::write(const CredentialQuery& query, Write&& write) {
    if (!secretService_) {
        std::int32_t status = write(*file_);
        if (status == CredentialStatus::success) status = markOutdated(query);
        return status;
    }
    if (std::int32_t status = settle(query); status != CredentialStatus::success) return status;
    const std::int32_t status = write(*secretService_);
    // The item lives in the Secret Service now; an older copy in the file must not
    // come back in a session without it. The write itself has succeeded either way.
    if (status == CredentialStatus::success) file_->remove(query);
    return status;
}

std::int32_t SystemCredentialBackend::update(const CredentialQuery& query, std::string_view bytes) {
    return write(query, [&](CredentialBackend& storage) { return storage.update(query, bytes); });
}

std::int32_t SystemCredentialBackend::add(const CredentialQuery& query, std::string_view bytes) {
    return write(query, [&](CredentialBackend& storage) { return storage.add(query, bytes); });
}

std::int32_t SystemCredentialBackend::read(const CredentialQuery& query, std::string& bytes) {
    if (!secretService_) return file_->read(query, bytes);
    if (std::int32_t status = settle(query); status != CredentialStatus::success) return status;
    return secretService_->read(query, bytes);
}

std::int32_t SystemCredentialBackend::remove(const CredentialQuery& query) {
    std::int32_t fromSecretService = CredentialStatus::itemNotFound;
    if (secretService_) {
        if (std::int32_t status = settle(query); status != CredentialStatus::success) return status;
        fromSecretService = secretService_->remove(query);
        if (!succeeded(fromSecretService)) return fromSecretService;
    }
    const std::int32_t fromFile = file_->remove(query);
    if (!succeeded(fromFile)) return fromFile;
    // Without the Secret Service its copy, if there is one, stays: note that it is gone.
    if (!secretService_) {
        if (std::int32_t marked = markOutdated(query); marked != CredentialStatus::success) return marked;
    }
    return fromSecretService == CredentialStatus::success || fromFile == CredentialStatus::success
               ? CredentialStatus::success
               : CredentialStatus::itemNotFound;
}

}  // namespace corvane
