#include "widgets/Translation.h"

#include <QCoreApplication>

namespace virelon::widgets {

QString translated(const std::string& key) {
    return QCoreApplication::translate(translationContext, key.c_str());
}

QString verbatim(const std::string& text) {
    return QString::fromStdString(text);
}

std::unique_ptr<QTranslator> loadTranslation(const QLocale& locale) {
    auto translator = std::make_unique<QTranslator>();
    // Tries each of the locale's UI languages in turn ("de-DE", then "de").
    if (!translator->load(locale, QStringLiteral("virelon"), QStringLiteral("_"),
                          QStringLiteral(":/translations")))
        return nullptr;
    return translator;
}

} // namespace virelon::widgets
