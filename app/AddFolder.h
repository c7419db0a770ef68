#pragma once
// The folder browser of the "..." button.
#include <QString>

#include "app/Dialogs.h"

namespace AddFolder {

// A modal folder chooser titled `title` that opens on `startFolder`. Gives the chosen folder as
// the chooser returned it, or the empty text on Cancel or when the choice is not an existing
// folder.
QString BrowseForFolder(Dialogs::DialogService& dialogs, const QString& title, const QString& startFolder);

}  // namespace AddFolder
