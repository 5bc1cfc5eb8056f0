#pragma once

// Which texts are translated: the description's keys, looked up in the context "ContentView".
// Everything else (status, values, version, slider titles, voice names) is shown as it stands.

#include <QLocale>
#include <QString>
#include <QTranslator>

#include <memory>
#include <string>

namespace virelon::widgets {

inline constexpr char translationContext[] = "ContentView";

/// The key's translation in the installed translators, or the key itself.
QString translated(const std::string& key);

/// The text exactly as it stands.
QString verbatim(const std::string& text);

/// The application's translation for `locale`, from the translations built into the program;
/// nothing when none is shipped for that locale's languages.
std::unique_ptr<QTranslator> loadTranslation(const QLocale& locale);

} // namespace virelon::widgets
