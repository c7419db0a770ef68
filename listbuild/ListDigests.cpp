#include "listbuild/ListDigests.h"

#include <QHash>

#include <atomic>
#include <mutex>

#include "support/WebUrl.h"

namespace ListDigests {

namespace {
struct Registry {
    std::mutex lock;
    QHash<QString, Download::Checksum::Digest> digests;
    std::atomic<bool> any{false};
};
Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// The address as the list stores it, whatever way it was written.
QString Key(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    WebUrl::Url url;
    if (!WebUrl::FromUserText(std::string_view(utf8.constData(), std::size_t(utf8.size())), url)) return text.trimmed();
    return QString::fromStdString(url.href);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsLikeDigest(std::string_view word) {
    for (const std::string_view prefix : {std::string_view("sha256:"), std::string_view("sha512:"), std::string_view("md5:")}) {
        if (word.size() < prefix.size()) continue;
        bool same = true;
        // Only letters fold: a control character is no digit and a ';' no ':'.
        for (std::size_t i = 0; i < prefix.size() && same; ++i) {
            const char c = word[i] >= 'A' && word[i] <= 'Z' ? char(word[i] - 'A' + 'a') : word[i];
            same = c == prefix[i];
        }
        if (same) return true;
    }
    return false;
}
}  // namespace

void Note(const QString& address, const Download::Checksum::Digest& digest) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.digests.insert(Key(address), digest);
    r.any = true;
}

std::optional<Download::Checksum::Digest> Find(const QString& entryText) {
    Registry& r = TheRegistry();
    // Most lists carry no digest: their runs pay nothing for this.
    if (!r.any) return std::nullopt;
    // The list holds its addresses as the parser writes them, as they were noted: a Start over a
    // long list parses none of them again.
    std::lock_guard<std::mutex> hold(r.lock);
    const auto it = r.digests.constFind(entryText);
    if (it == r.digests.cend()) return std::nullopt;
    return *it;
}

bool Any() { return TheRegistry().any; }

void Forget() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.digests.clear();
    r.any = false;
}

bool SplitLine(std::string_view line, std::string_view& address, std::optional<Download::Checksum::Digest>& digest,
               QString* reason) {
    address = line;
    digest.reset();
    std::size_t end = line.size();
    while (end > 0 && (IsBlank(line[end - 1]) || line[end - 1] == '\r')) --end;
    std::size_t start = end;
    while (start > 0 && !IsBlank(line[start - 1])) --start;
    std::size_t before = start;
    while (before > 0 && IsBlank(line[before - 1])) --before;
    // A line of one word is an address, whatever it looks like.
    if (before == 0 || !StartsLikeDigest(line.substr(start, end - start))) return true;
    const std::string_view word = line.substr(start, end - start);
    digest = Download::Checksum::ParseDigest(QString::fromUtf8(word.data(), qsizetype(word.size())), reason);
    if (!digest) return false;
    address = line.substr(0, before);
    return true;
}

}  // namespace ListDigests
