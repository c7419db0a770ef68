#pragma once
// Every modal box, prompt and chooser of the program goes through this interface, so that the
// window never talks to Qt's dialogs directly and tests can script the answers.
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "support/BuildInfo.h"
#include "support/RunOptions.h"

namespace Dialogs {

// Button sets and icons, added together as one code.
enum Code : int {
    OkOnly = 0,
    YesNoCancel = 3,  // Esc answers Cancel: "not now"
    YesNo = 4,
    Exclamation = 48,
};

// What a message box answers.
enum Answer : int {
    Ok = 1,
    Cancel = 2,
    Yes = 6,
    No = 7,
};

inline constexpr const char* kProductName = BuildInfo::kApplication;

// One preset of "Keep Only": its name and the pattern it stands for.
struct KeepOnlyPreset {
    QString name;
    QString pattern;
};

// The live count of the "Keep Only" dialog: told each pattern as it is typed, it answers
// through `show` (perhaps later: counting a long list takes a moment) with the text to show and
// whether the pattern can be used.
class PatternCount {
public:
    virtual ~PatternCount() = default;
    virtual void setPattern(const QString& pattern) = 0;
    std::function<void(const QString& text, bool usable)> show;
};

class DialogService {
public:
    virtual ~DialogService() = default;

    // Modal message box. An empty caption means the application title.
    virtual int messageBox(const QString& text, int code, const QString& caption) = 0;
    // Modal one-line prompt. Returns the text as typed, or the empty text on Cancel.
    virtual QString inputBox(const QString& prompt, const QString& caption,
                             const QString& defaultText) = 0;
    // Modal file chooser allowing several files, opening on startFolder (the chooser's own
    // choice when empty). Returns the chosen paths in the order the chooser gives them; empty
    // on Cancel.
    virtual QStringList openFiles(const QString& title, const QStringList& nameFilters,
                                  const QString& startFolder) = 0;
    // Modal chooser of a file to write, opening on startFolder. Returns the path as typed (no
    // extension added), or empty on Cancel. A service without such a chooser cancels.
    virtual QString saveFile(const QString& title, const QStringList& nameFilters, const QString& startFolder) {
        (void)title, (void)nameFilters, (void)startFolder;
        return {};
    }
    // Modal folder chooser opening on startFolder. Returns the folder, or empty on Cancel.
    virtual QString browseForFolder(const QString& title, const QString& startFolder) = 0;
    // The modal "Options" dialog, showing `values`; true with the values changed when the user
    // accepts it, false on Cancel. A service without such a dialog cancels.
    virtual bool editOptions(RunOptions::Values& values) {
        (void)values;
        return false;
    }
    // The modal "Keep Only" dialog: presets that fill the pattern field, the field, and `count`'s
    // answer below it. The pattern when the user accepts, nothing on Cancel. A service without
    // such a dialog cancels.
    virtual std::optional<QString> keepOnly(const QList<KeepOnlyPreset>& presets, PatternCount& count) {
        (void)presets;
        (void)count;
        return std::nullopt;
    }
    // Opens an address in the user's web browser without waiting for it.
    virtual void openUrl(const QString& address) = 0;

    // The caption of every box and prompt shown without one of its own.
    const QString& applicationTitle() const { return title_; }
    void setApplicationTitle(const QString& title) { title_ = title; }

    // Convenience forms used throughout.
    int msgBox(const QString& text, int code = OkOnly) { return messageBox(text, code, {}); }
    QString input(const QString& prompt, const QString& defaultText = {}) {
        return inputBox(prompt, {}, defaultText);
    }

protected:
    QString captionOr(const QString& caption) const { return caption.isEmpty() ? title_ : caption; }

private:
    QString title_ = QString::fromLatin1(kProductName);
};

}  // namespace Dialogs
