#pragma once

#include "platform/Bounds.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace virelon::platform {

/// A value as it lies in the domain. The application only ever stores integers and texts; the
/// other kinds can appear when another program wrote the file.
using StoredValue = std::variant<std::int64_t, double, std::string, std::vector<std::uint8_t>>;

/// A persistent key-value domain shared by the application and the speech engine, both opening it
/// by the same suite name. Implementations never throw.
class PreferencesDomain {
public:
    virtual ~PreferencesDomain() = default;

    /// The value stored under the key, or nothing when the key holds none or cannot be read.
    virtual std::optional<StoredValue> value(std::string_view key) noexcept = 0;

    /// What a read of the key found, telling a key that holds nothing apart from a read that
    /// failed (busy past the timeout, an I/O error): only the former may be taken as "no value".
    struct Reading {
        bool failed = false;
        std::optional<StoredValue> value;
    };
    virtual Reading read(std::string_view key) noexcept { return {false, value(key)}; }

    /// The values of several keys, read together as one consistent snapshot (one read
    /// transaction where the store has them), in the order of the keys; nothing when a read failed
    /// (busy past the timeout, an I/O error, a file that cannot be read, memory running out).
    virtual std::optional<std::vector<std::optional<StoredValue>>>
    snapshot(std::span<const std::string_view> keys) noexcept {
        try {
            std::vector<std::optional<StoredValue>> result;
            for (const auto key : keys) {
                auto reading = read(key);
                if (reading.failed)
                    return std::nullopt;
                result.push_back(std::move(reading.value));
            }
            return result;
        } catch (...) {
            return std::nullopt;
        }
    }

    /// snapshot(), with every key of a failed read holding nothing.
    std::vector<std::optional<StoredValue>>
    values(std::span<const std::string_view> keys) noexcept {
        auto read = snapshot(keys);
        return read ? std::move(*read) : std::vector<std::optional<StoredValue>>(keys.size());
    }

    /// Store under the key, replacing what was there. False when the value could not be stored.
    virtual bool setInteger(std::string_view key, std::int64_t value) noexcept = 0;
    virtual bool setText(std::string_view key, std::string_view value) noexcept = 0;

    /// What remove() did.
    enum class Removal { removed, nothingStored, failed };

    /// Removes the value stored under the key, so that the key holds none.
    virtual Removal remove(std::string_view key) noexcept = 0;

    /// One change of change(): the value to store under the key, or nothing to remove the one
    /// stored there.
    struct Change {
        std::string_view key;
        std::optional<StoredValue> value;
    };

    /// Makes every change in one transaction: all of them, or (false) none.
    virtual bool change(std::span<const Change> changes) noexcept {
        static_cast<void>(changes);
        return false;
    }

    /// Leaves the file complete on its own (its -wal file emptied) once writes have gone quiet
    /// (preferencesRestInterval), so that a file put in its place later is not mixed with what
    /// was written to this one. Never waits.
    virtual void settle() noexcept {}

    /// Confirms that every earlier write is committed (safe from this process being killed) and
    /// visible to whoever opens the domain's path. False when that cannot be confirmed: a
    /// transaction is still open, or the file at the path is no longer this one. Writes nothing.
    virtual bool confirmVisible() noexcept = 0;

    /// False when the file at the domain's location is no longer the one this handle has open
    /// (it was removed, replaced, recreated, or rewritten other than through SQLite, as cp does):
    /// opening the domain afresh would find another.
    virtual bool isCurrent() noexcept { return true; }
};

/// Opens the domain of the given suite name, creating it when it does not exist yet. Nothing when
/// its location cannot be determined or created, or the file there is not one of ours; such a file
/// is left untouched. Ours means: the folder and the file belong to the user, and the file holds
/// exactly our one table and nothing else, and every companion SQLite may open beside it (-journal,
/// -wal, -shm) is absent or a regular file of the user's, and a -wal holds no other file's
/// changes (preferencesDomainHasForeignWal()). Folder, file and companions are narrowed
/// to the user alone (0700, 0600) before anything is stored; one that others may write and that
/// cannot be narrowed is not ours. The domain returned may be used from several threads; every
/// statement it runs is bounded in time (preferencesStatementBound, preferencesBusyTimeout in
/// Bounds.h).
std::unique_ptr<PreferencesDomain> openPreferencesDomain(std::string_view suiteName) noexcept;

/// True when the domain's file is refused because its -wal file holds changes of another file:
/// the file was put in place (a backup put back by mv or cp) while changes of the file it
/// replaced were still waiting there, in a burst of writes or after a crash. Applying them would
/// undo the restore or corrupt the file, and dropping them is its user's call: deleting the -wal
/// and -shm files keeps the file as it is.
bool preferencesDomainHasForeignWal(std::string_view suiteName) noexcept;

/// Where the domain of a suite name lives; nothing when no location can be determined, or the
/// suite name is empty, "." or "..", or contains a slash.
std::optional<std::string> preferencesDomainPath(std::string_view suiteName) noexcept;

} // namespace virelon::platform
