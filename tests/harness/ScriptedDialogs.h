#pragma once
// A dialog service for tests: records everything shown and answers from scripts. A dialog
// that the test did not script fails the test instead of blocking.
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "app/Dialogs.h"

struct ShownMessage {
    QString text;
    int code;
    QString caption;  // as shown: the application title when none was given
};

struct ShownPrompt {
    QString prompt;
    QString caption;
    QString defaultText;
};

class ScriptedDialogs : public Dialogs::DialogService {
public:
    // Answers, taken in order.
    std::deque<int> messageAnswers;          // when empty: Ok for OK boxes, No for Yes/No, Cancel for Yes/No/Cancel
    std::deque<QString> inputAnswers;        // when empty: an unscripted prompt fails the test
    std::deque<QStringList> openFilesAnswers;
    std::deque<QString> folderAnswers;
    std::deque<QString> saveFileAnswers;
    // The Options dialog: the values it is left with, or nothing for Cancel; when empty an
    // unscripted Options dialog fails the test.
    std::deque<std::optional<RunOptions::Values>> optionsAnswers;

    // "Keep Only": the pattern it is left with, or nothing for Cancel; when empty an unscripted
    // one fails the test. `onKeepOnly` is called while it is open, with its count.
    std::deque<std::optional<QString>> keepOnlyAnswers;
    std::function<void(Dialogs::PatternCount&)> onKeepOnly;
    std::vector<QList<Dialogs::KeepOnlyPreset>> keepOnlyPresetsShown;

    // Called while a box is "open", before it answers (to act in the middle of a handler).
    std::function<void(const ShownMessage&)> onMessage;
    std::function<void(const ShownPrompt&)> onPrompt;

    // What was shown.
    std::vector<ShownMessage> messages;
    std::vector<ShownPrompt> prompts;
    std::vector<QString> fileDialogTitles;
    std::vector<QStringList> fileDialogFilters;
    std::vector<QString> fileDialogFolders;  // the start folder of each
    std::vector<std::pair<QString, QString>> folderDialogs;  // title, start folder
    std::vector<std::pair<QString, QString>> saveDialogs;    // title, start folder
    std::vector<QString> openedUrls;
    std::vector<RunOptions::Values> optionsShown;  // what each Options dialog showed

    int messageBox(const QString& text, int code, const QString& caption) override;
    QString inputBox(const QString& prompt, const QString& caption, const QString& defaultText) override;
    QStringList openFiles(const QString& title, const QStringList& nameFilters,
                          const QString& startFolder) override;
    QString saveFile(const QString& title, const QStringList& nameFilters, const QString& startFolder) override;
    QString browseForFolder(const QString& title, const QString& startFolder) override;
    bool editOptions(RunOptions::Values& values) override;
    std::optional<QString> keepOnly(const QList<Dialogs::KeepOnlyPreset>& presets, Dialogs::PatternCount& count) override;
    void openUrl(const QString& address) override;

    QStringList messageTexts() const;
};
