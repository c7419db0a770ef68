#include "harness/ScriptedDialogs.h"

#include <gtest/gtest.h>

int ScriptedDialogs::messageBox(const QString& text, int code, const QString& caption) {
    messages.push_back({text, code, captionOr(caption)});
    if (onMessage) onMessage(messages.back());
    if (!messageAnswers.empty()) {
        const int answer = messageAnswers.front();
        messageAnswers.pop_front();
        return answer;
    }
    if ((code & 7) == Dialogs::YesNoCancel) return Dialogs::Cancel;  // as Esc answers it
    return (code & 7) == Dialogs::YesNo ? Dialogs::No : Dialogs::Ok;
}

QString ScriptedDialogs::inputBox(const QString& prompt, const QString& caption, const QString& defaultText) {
    prompts.push_back({prompt, captionOr(caption), defaultText});
    if (onPrompt) onPrompt(prompts.back());
    if (inputAnswers.empty()) {
        ADD_FAILURE() << "Unscripted prompt: " << prompt.toStdString();
        return {};
    }
    QString answer = inputAnswers.front();
    inputAnswers.pop_front();
    return answer;
}

QStringList ScriptedDialogs::openFiles(const QString& title, const QStringList& nameFilters,
                                       const QString& startFolder) {
    fileDialogTitles.push_back(title);
    fileDialogFilters.push_back(nameFilters);
    fileDialogFolders.push_back(startFolder);
    if (openFilesAnswers.empty()) {
        ADD_FAILURE() << "Unscripted file dialog: " << title.toStdString();
        return {};
    }
    QStringList answer = openFilesAnswers.front();
    openFilesAnswers.pop_front();
    return answer;
}

QString ScriptedDialogs::saveFile(const QString& title, const QStringList&, const QString& startFolder) {
    saveDialogs.emplace_back(title, startFolder);
    if (saveFileAnswers.empty()) {
        ADD_FAILURE() << "Unscripted save dialog: " << title.toStdString();
        return {};
    }
    QString answer = saveFileAnswers.front();
    saveFileAnswers.pop_front();
    return answer;
}

QString ScriptedDialogs::browseForFolder(const QString& title, const QString& startFolder) {
    folderDialogs.emplace_back(title, startFolder);
    if (folderAnswers.empty()) {
        ADD_FAILURE() << "Unscripted folder dialog: " << title.toStdString();
        return {};
    }
    QString answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
}

bool ScriptedDialogs::editOptions(RunOptions::Values& values) {
    optionsShown.push_back(values);
    if (optionsAnswers.empty()) {
        ADD_FAILURE() << "Unscripted Options dialog";
        return false;
    }
    const std::optional<RunOptions::Values> answer = optionsAnswers.front();
    optionsAnswers.pop_front();
    if (!answer) return false;
    values = *answer;
    return true;
}

std::optional<QString> ScriptedDialogs::keepOnly(const QList<Dialogs::KeepOnlyPreset>& presets, Dialogs::PatternCount& count) {
    keepOnlyPresetsShown.push_back(presets);
    if (onKeepOnly) onKeepOnly(count);
    if (keepOnlyAnswers.empty()) {
        ADD_FAILURE() << "Unscripted Keep Only dialog";
        return std::nullopt;
    }
    const bool cancel = !keepOnlyAnswers.front().has_value();
    const QString pattern = keepOnlyAnswers.front().value_or(QString());
    keepOnlyAnswers.pop_front();
    if (cancel) return std::nullopt;
    return pattern;
}

void ScriptedDialogs::openUrl(const QString& address) { openedUrls.push_back(address); }

QStringList ScriptedDialogs::messageTexts() const {
    QStringList texts;
    for (const auto& m : messages) texts << m.text;
    return texts;
}
