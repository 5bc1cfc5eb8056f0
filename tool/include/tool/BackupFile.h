#pragma once

// What an export of the settings holds, read back for an import: the JSON of --json get, checked
// whole before anything is stored.

#include "platform/PreferencesDomain.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace virelon::tool {

/// A backup is six small settings: anything much larger is not one.
inline constexpr std::size_t largestBackup = 1 << 20;

/// The settings of an export, in its order: each key with its value, or nothing for a setting
/// marked not stored.
using BackupSettings = std::vector<std::pair<std::string, std::optional<platform::StoredValue>>>;

/// Reads an export: strict JSON (RFC 8259, whole numbers only, UTF-8 texts), an array of
/// {"key", "value", "stored"} objects, each key of the settings at most once, a stored voice
/// control a whole number from 0 to 100, a stored fallback voice a text. Nothing, with what is
/// wrong (and where) in `error`, for anything else.
std::optional<BackupSettings> readBackup(std::string_view text, std::string& error);

} // namespace virelon::tool
