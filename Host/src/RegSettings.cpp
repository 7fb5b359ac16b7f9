#include "Kavrin/Core/RegSettings.h"

#include <memory>
#include <mutex>

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <glog/logging.h>

namespace Kavrin::Core {
namespace Details {

// A key is a group path of the settings file; the root has an empty path.
struct Key {
    QString path;
};

}  // namespace Details

namespace {

// A fresh view of the file: QSettings caches per process, sync() rereads it.
// Null when there is no regular file to read: QSettings would open a FIFO or a
// device there and block until something wrote to it.
std::unique_ptr<QSettings> OpenStore() {
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/Kavrin/Core.conf");
    const QFileInfo file(path);
    if (!file.isFile()) {
        if (file.exists()) {
            static std::once_flag told;
            std::call_once(told, [&] {
                LOG(INFO) << path.toStdString()
                          << " is not a regular file; the host's settings are left at "
                             "their defaults";
            });
        }
        return nullptr;
    }
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    settings->sync();
    return settings;
}

}  // namespace

RegSettings& RegSettings::Core() {
    static RegSettings settings;
    return settings;
}

RegSettings::RegSettings() : root(new Details::Key{}) {}

RegKey::~RegKey() { Close(); }

void RegKey::Close() {
    delete key;
    key = nullptr;
}

DWORD RegKey::Open(HKEY parent, const std::string& subkey, DWORD) {
    Close();
    if (parent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const QString path = parent->path.isEmpty()
                             ? QString::fromStdString(subkey)
                             : parent->path + QLatin1Char('/') + QString::fromStdString(subkey);
    auto store = OpenStore();
    if (!store) {
        return ERROR_FILE_NOT_FOUND;
    }
    // A group exists when it holds a value or a group of its own.
    store->beginGroup(path);
    const bool exists = !store->childKeys().isEmpty() || !store->childGroups().isEmpty();
    store->endGroup();
    if (!exists) {
        return ERROR_FILE_NOT_FOUND;
    }
    key = new Details::Key{path};
    return ERROR_SUCCESS;
}

DWORD RegKey::QueryDword(const std::string& name, DWORD& value) const {
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    auto store = OpenStore();
    if (!store) {
        return ERROR_FILE_NOT_FOUND;
    }
    const QString path = key->path + QLatin1Char('/') + QString::fromStdString(name);
    if (!store->contains(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    bool number = false;
    const qulonglong read = store->value(path).toString().trimmed().toULongLong(&number, 0);
    if (!number || read > 0xFFFFFFFFull) {
        return ERROR_INVALID_DATA;
    }
    value = static_cast<DWORD>(read);
    return ERROR_SUCCESS;
}

}  // namespace Kavrin::Core
