#pragma once
// The small procedures of start-up.
#include <QCursor>
#include <QString>

#include <functional>

#include "app/Dialogs.h"

class QWidget;

namespace Main {

inline constexpr const char* kHomePage = "https://www.quillmoor.example/";

// When x/o.cjs lies in `programFolder`: the window and its option buttons, check boxes, frames and
// labels take the button-face colour, and the file's text becomes the window's style sheet.
// Without the file nothing changes.
void ApplySkin(QWidget& window, const QString& programFolder);

// The cursor in a .CUR (or .ICO) file, with the hotspot the file gives. Fails when the file
// cannot be read or holds no picture.
QCursor LoadCursorFile(const QString& path);

// Opens the home page when `draw` (a whole number from 1 to 100) gives 7.
void OpenHomePageOccasionally(Dialogs::DialogService& dialogs, const std::function<int()>& draw);
int DrawFrom1To100();

// The application title made from a product name: cut before its last blank, then again while
// longer than 40 characters. A name without a blank is kept whole.
QString ApplicationTitleFor(const QString& productName);
void SetApplicationTitle(Dialogs::DialogService& dialogs);

// The box at start-up after a run that did not finish: how many downloads it did not store and
// how much of them is kept, and what No does with that.
QString UnfinishedRunQuestion(qsizetype downloads, qint64 keptBytes);

// The desktop folder followed by "/". Fails when the folder cannot be determined (empty path).
QString GetDesktopFolder(const QString& desktopPath);

// The output folder of a first start, followed by "/": the desktop folder (as GetDesktopFolder
// gives it) when it exists, else the download folder when that exists, else the home folder.
// None of them is created.
QString DefaultOutputFolder(const QString& desktopFolder, const std::function<QString()>& downloadFolder,
                            const std::function<QString()>& homeFolder);

}  // namespace Main
