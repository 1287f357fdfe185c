#include "ui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace vox::ui {

bool InstallQtTranslations(const QString& folder) {
    const QString where =
        folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
    auto* translator = new QTranslator(QCoreApplication::instance());
    // "qt_ja" names the catalogues of every Qt module the system has (qtbase_ja and others).
    if (!translator->load(QStringLiteral("qt_") + QString::fromLatin1(kProgramLanguage), where)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

}  // namespace vox::ui
