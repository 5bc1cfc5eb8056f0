// What an import reads: any bytes a user hands it give the settings or a reason, never a crash or
// a hang; settings read, written back as an export writes them, read back the same.

#include "tool/BackupFile.h"
#include "tool/Json.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace virelon::tool;
    std::string error;
    const auto settings = readBackup({reinterpret_cast<const char*>(data), size}, error);
    if (!settings) {
        if (error.empty())
            std::abort(); // refused without saying why
        return 0;
    }
    std::string again = "[";
    for (const auto& [key, value] : *settings) {
        again += std::string(again.size() > 1 ? "," : "") + "{\"key\":" + jsonString(key) +
                 ",\"value\":";
        if (!value)
            again += "null";
        else if (const auto* whole = std::get_if<std::int64_t>(&*value))
            again += std::to_string(*whole);
        else
            again += jsonString(std::get<std::string>(*value));
        again += std::string(",\"stored\":") + (value ? "true" : "false") + "}";
    }
    if (readBackup(again + "]", error) != settings)
        std::abort(); // an export of what was read reads differently
    return 0;
}
