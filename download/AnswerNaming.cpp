#include "download/AnswerNaming.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>

#include "download/DurableFiles.h"
#include "support/PathHelpers.h"
#include "support/UniqueFd.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace Download {

namespace {
// How long an item whose answer came waits for earlier items' answers before it is numbered.
constexpr qint64 kNameWaitMs = 3000;

const char* const kNameRefused = QT_TRANSLATE_NOOP("AnswerNaming", "Name not allowed by the file system");
const char* const kNoFileName = QT_TRANSLATE_NOOP("AnswerNaming", "No file name in address");
const char* const kNameReserved = QT_TRANSLATE_NOOP("AnswerNaming", "Name reserved for the program's temporary files");
}  // namespace

QString InFolder(const QString& folderText, const QString& name) {
    if (folderText.isEmpty() || folderText.endsWith(Main::kNativeSeparator)) return folderText + name;
    return folderText + Main::kNativeSeparator + name;
}

Main::NamingContext AnswerNaming::context() {
    Main::NamingContext context;
    context.memo = &memo_;
    context.exists = [this](const QString& path) { return taken(path); };
    return context;
}

namespace {
// More names than this are not kept: such a folder is asked name by name.
constexpr int kListedNames = 100000;

// The names in a folder, or nothing complete when it cannot be read whole.
QSet<QByteArray> ListNames(const QString& folder, bool& complete) {
    QSet<QByteArray> names;
    complete = false;
    Fw::UniqueFd fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* dir = fd ? ::fdopendir(fd.get()) : nullptr;
    if (!dir) return names;
    fd.release();  // the stream owns it now
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (names.size() >= kListedNames) {
            ::closedir(dir);
            return {};
        }
        names.insert(QByteArray(entry->d_name));
    }
    complete = errno == 0;
    ::closedir(dir);
    if (!complete) names.clear();
    return names;
}
}  // namespace

bool AnswerNaming::taken(const QString& path) {
    const qsizetype cut = path.lastIndexOf(Main::kNativeSeparator);
    if (cut < 0) return Main::FileOrFolderExists(path);
    const QString folder = path.left(cut + 1);
    auto it = listed_.find(folder);
    if (it == listed_.end()) {
        Listing listing;
        listing.names = ListNames(folder, listing.complete);
        it = listed_.insert(folder, std::move(listing));
    }
    if (!it->complete) return Main::FileOrFolderExists(path);
    return it->names.contains(QFile::encodeName(path.mid(cut + 1)));
}

Fw::Result<QByteArray> AnswerNaming::checkName(const QString& name, const OutputFolder& folder) {
    if (Main::IsUnusableFileName(name)) return Fw::Error::failed(QCoreApplication::translate("AnswerNaming", kNoFileName));
    // Such a name would look to a clean-up like a temporary of this program.
    if (IsTemporaryName(name)) return Fw::Error::failed(QCoreApplication::translate("AnswerNaming", kNameReserved));
    const QByteArray nameBytes = QFile::encodeName(name);
    if (nameBytes.contains('\0') || (folder.nameMax > 0 && nameBytes.size() > folder.nameMax))
        return Fw::Error::failed(QCoreApplication::translate("AnswerNaming", kNameRefused));
    return nameBytes;
}

bool AnswerNaming::decide(EngineItem& a) {
    a.answerWaiting = false;
    const OutputFolder& folder = *a.job.folder;
    const int most = folder.nameMax > 0 ? static_cast<int>(std::min<long>(folder.nameMax, 255)) : 255;
    const QString name = ChooseFileName(a.facts, serverNames_, most);
    const Fw::Result<QByteArray> bytes = checkName(name, folder);
    if (!bytes) {
        a.nameError = bytes.error().text;
        return false;
    }
    const QString base = InFolder(a.folderText, name);
    if (skipExisting_ && a.factsTotal > 0) {
        struct stat st {};
        if (::fstatat(folder.fd.get(), bytes->constData(), &st, 0) == 0 && S_ISREG(st.st_mode) && st.st_size == a.factsTotal) {
            a.skippedAs = base;
            return false;
        }
    }
    a.job.base = base;
    a.answered = true;
    a.answeredAtMs = SteadyNowMs();
    return true;
}

void AnswerNaming::assign(std::vector<EngineItem*> waiting, bool force) {
    if (waiting.empty()) return;
    std::sort(waiting.begin(), waiting.end(), [](const EngineItem* x, const EngineItem* y) { return x->rank != y->rank ? x->rank < y->rank : x->index < y->index; });
    const qint64 now = SteadyNowMs();
    bool earlierUnanswered = false;
    for (EngineItem* a : waiting) {
        if (!a->answered) {
            earlierUnanswered = true;
            continue;
        }
        const bool earlierWaits = earlierUnanswered || a->heldByEarlier;
        if (earlierWaits && !force && now - a->answeredAtMs < kNameWaitMs) continue;
        a->job.target = Main::NextFreeName(a->job.base, context());
        a->job.nameBytes = QFile::encodeName(Main::FileNameOf(a->job.target, Main::kNativeSeparator));
        a->named = true;
    }
}

}  // namespace Download
