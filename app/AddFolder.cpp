#include "app/AddFolder.h"

#include "support/PathHelpers.h"

namespace AddFolder {

QString BrowseForFolder(Dialogs::DialogService& dialogs, const QString& title, const QString& startFolder) {
    const QString chosen = dialogs.browseForFolder(title, startFolder);
    if (chosen.isEmpty() || !Main::FolderExists(chosen)) return {};
    return chosen;
}

}  // namespace AddFolder
