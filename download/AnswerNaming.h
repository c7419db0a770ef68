#pragma once
// Naming the items of a run: the name an answer gives (chosen by the loop once the answer's
// headers are in, never inside a libcurl callback), checked against what the folder can hold,
// and numbered in the order the items began, so that when two would get the same name the
// earlier item gets it. The memo of names handed out is this object's one lock.
#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <vector>

#include "download/EngineItem.h"
#include "download/TargetNaming.h"
#include "support/Result.h"

namespace Download {

class AnswerNaming {
public:
    // A new run: names handed out before, and the folders' names seen, are forgotten.
    void beginRun() {
        memo_.clear();
        listed_.clear();
    }
    void setOptions(bool serverNames, bool skipExisting) {
        serverNames_ = serverNames;
        skipExisting_ = skipExisting;
    }
    Main::NameMemo& memo() { return memo_; }
    Main::NamingContext context();

    // A name the folder can hold, as the file system's bytes; the reason when it cannot.
    static Fw::Result<QByteArray> checkName(const QString& name, const OutputFolder& folder);

    // Chooses the item's name from the answer its transfer kept (item.facts). False when the
    // body is not wanted: skipped (item.skippedAs) or a name the folder cannot hold
    // (item.nameError).
    bool decide(EngineItem& item);
    // Numbers the items whose names are chosen, in their places in the list (their rank; the
    // order they began among equals): one waits for the answers of the earlier items under way,
    // and of an earlier one not begun yet whose address gives the same name (item.heldByEarlier),
    // up to a few seconds (or not at all when forced: the run is ending).
    void assign(std::vector<EngineItem*> waiting, bool force);
    // A name handed out that will not be used.
    void givenBack(const QString& base, const QString& target) { memo_.givenBack(base, target); }

private:
    // Whether a name is taken: looked up among the names its folder held when this run first
    // named a file in it, instead of asking the file system for each name tried. A name taken
    // since then is found when the file is linked, which never replaces one (the next free name
    // is asked of the file system then). A folder of more names than the look keeps is asked
    // name by name.
    bool taken(const QString& path);
    struct Listing {
        bool complete = false;
        QSet<QByteArray> names;
    };
    QHash<QString, Listing> listed_;  // by the folder's text, its separator included
    Main::NameMemo memo_;
    bool serverNames_ = true;
    bool skipExisting_ = false;
};

// `name` inside the folder text an item's base began with.
QString InFolder(const QString& folderText, const QString& name);

}  // namespace Download
