// Qt's own texts (the file dialogs, Yes and No, the context menus of text fields) in the
// program's language, Japanese, from the system's Qt translations.
#pragma once

#include <QString>

namespace vox::ui {

// The program's language.
inline constexpr const char* kProgramLanguage = "ja";

// Installs Qt's translations for the program's language, from folder (empty: Qt's own
// translations folder). Returns false when they are not installed there; Qt's texts then stay
// English. Call once, after the application object exists.
bool InstallQtTranslations(const QString& folder = {});

}  // namespace vox::ui
