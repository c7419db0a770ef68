#pragma once
// Small path operations shared by naming, start-up and list loading. The text helpers take the
// separator as a parameter so that they serve both native paths and Windows-style texts.
#include <QChar>
#include <QString>

namespace Main {

inline constexpr QChar kNativeSeparator = QLatin1Char('/');

// Is there an entry of this name (file, folder or any other kind; a dangling link counts)?
bool FileOrFolderExists(const QString& path);
// Is this an existing folder (following links)?
bool FolderExists(const QString& path);
// The text after the last separator; the whole text when there is none.
QString LastPathComponent(const QString& text, QChar separator = kNativeSeparator);
// Doubled separators made single in one left-to-right pass. A leading run of separators
// becomes the two-backslash network prefix with "\", and one "/" with "/".
QString CollapseDoubleBackslashes(const QString& path, QChar separator = kNativeSeparator);

// The folder itself when it exists, else its nearest existing parent; empty for an empty or
// relative path (no parent of it is known).
QString NearestExistingFolder(const QString& path);

// Where the choosers of list files open: the folder last used for a list while it exists, else
// the documents folder, else the home folder.
QString ListFolder(const QString& lastUsed, const QString& documents, const QString& home);

// A folder as a person types it: a leading "~" alone or before "/" is the home folder, as a
// shell has it. Any other text ("~user", "a/~") comes back as it is.
QString ExpandHomeFolder(const QString& folderText);
QString ExpandHomeFolder(const QString& folderText, const QString& homeFolder);

}  // namespace Main
