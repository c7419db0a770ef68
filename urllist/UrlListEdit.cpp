// Reordering the list and taking removals back.
#include "urllist/UrlList.h"

#include <QCoreApplication>
#include <QMimeData>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {
constexpr std::uint32_t kUndoBlock = 1u << 20;
// Past this, older steps are let go (the newest is always kept).
constexpr std::size_t kUndoBytes = std::size_t(256) << 20;
// More runs of rows than this are told to views as one reset, as removals are.
constexpr std::size_t kRunsToldOneByOne = 32;

// Runs of flagged rows, [first, last].
std::vector<std::pair<std::size_t, std::size_t>> RunsOf(const std::vector<bool>& flags) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) continue;
        if (!runs.empty() && runs.back().second + 1 == i) runs.back().second = i;
        else runs.emplace_back(i, i);
    }
    return runs;
}
}  // namespace

namespace {
// Which list of which process: a drag from another copy of the program is no move.
QByteArray DragIdentity(const UrlList* list) {
    return QByteArray::number(QCoreApplication::applicationPid()) + ':' +
           QByteArray::number(reinterpret_cast<quintptr>(list), 16);
}
}  // namespace

Qt::ItemFlags UrlList::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

QStringList UrlList::mimeTypes() const { return {QString::fromLatin1(kRowsMimeType)}; }

QMimeData* UrlList::mimeData(const QModelIndexList&) const {
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kRowsMimeType), DragIdentity(this));
    return data;
}

bool UrlList::isOwnDrag(const QMimeData* data) const {
    return data && data->data(QString::fromLatin1(kRowsMimeType)) == DragIdentity(this);
}

void UrlList::Removal::add(const UrlListSpan& span, std::string_view text) {
    UrlListSpan kept = span;
    kept.offset = 0;
    kept.block = 0;
    if (!text.empty()) {
        // A text longer than a block gets one of its own, and the next text a new one.
        if (blocks.empty() || tailUsed + text.size() > kUndoBlock) {
            const std::size_t size = std::max<std::size_t>(kUndoBlock, text.size());
            blocks.emplace_back(new char[size]);
            bytes += size;
            tailUsed = 0;
        }
        kept.block = static_cast<std::uint32_t>(blocks.size() - 1);
        kept.offset = tailUsed;
        std::memcpy(blocks.back().get() + tailUsed, text.data(), text.size());
        tailUsed += static_cast<std::uint32_t>(text.size());
    }
    spans.push_back(kept);
    bytes += sizeof(UrlListSpan) + sizeof(std::uint32_t);
}

std::string_view UrlList::Removal::textOf(const UrlListSpan& span) const {
    if (span.length == 0) return {};
    return {blocks[span.block].get() + span.offset, span.length};
}

UrlList::Removal UrlList::removalOf(const std::vector<bool>& remove) const {
    Removal removal;
    for (std::size_t i = 0; i < remove.size() && i < spans_.size(); ++i) {
        if (!remove[i]) continue;
        removal.rows.push_back(static_cast<std::uint32_t>(i));
        removal.add(spans_[i], utf8At(static_cast<int>(i) + 1));
        if (!notes_.empty()) {
            const auto it = notes_.find(spans_[i].id);
            if (it != notes_.end()) removal.notes.emplace_back(it->first, it->second);
        }
    }
    return removal;
}

void UrlList::keepForUndo(Removal removal) {
    undo_.push_back(std::move(removal));
    std::size_t total = 0;
    for (const Removal& r : undo_) total += r.bytes;
    while (undo_.size() > kUndoSteps || (undo_.size() > 1 && total > kUndoBytes)) {
        total -= undo_.front().bytes;
        undo_.pop_front();
    }
}

void UrlList::keepIdsRising(std::size_t first, std::size_t last) {
    if (first >= spans_.size() || first >= last) return;
    last = std::min(last, spans_.size() - 1);
    // Nearly always they are: one look, without a copy of a million ids.
    bool rising = true;
    for (std::size_t i = first; i < last && rising; ++i) rising = spans_[i].id < spans_[i + 1].id;
    if (rising) return;
    std::vector<EntryId> ids;
    ids.reserve(last - first + 1);
    for (std::size_t i = first; i <= last; ++i) ids.push_back(spans_[i].id);
    if (std::is_sorted(ids.begin(), ids.end())) return;
    // The notes follow their entries to the entries' new ids.
    std::vector<std::pair<std::size_t, Note>> notes;
    if (!notes_.empty()) {
        for (std::size_t i = first; i <= last; ++i) {
            const auto it = notes_.find(spans_[i].id);
            if (it == notes_.end()) continue;
            notes.emplace_back(i, std::move(it->second));
            notes_.erase(it);
        }
    }
    std::sort(ids.begin(), ids.end());
    std::vector<std::pair<EntryId, EntryId>> changes;
    std::vector<std::pair<EntryId, Progress>> under;
    for (std::size_t i = first; i <= last; ++i) {
        const EntryId was = spans_[i].id;
        if (was == ids[i - first]) continue;
        changes.emplace_back(was, ids[i - first]);
        if (const auto it = progress_.find(was); it != progress_.end()) {
            under.emplace_back(ids[i - first], std::move(it->second));
            progress_.erase(it);
        }
        spans_[i].id = ids[i - first];
    }
    for (auto& [row, note] : notes) notes_[spans_[row].id] = std::move(note);
    for (auto& [id, progress] : under) progress_[id] = std::move(progress);
    emit entriesRenumbered(changes);
}

void UrlList::rotateRows(std::size_t first, std::size_t middle, std::size_t end) {
    std::rotate(spans_.begin() + static_cast<std::ptrdiff_t>(first), spans_.begin() + static_cast<std::ptrdiff_t>(middle),
                spans_.begin() + static_cast<std::ptrdiff_t>(end));
    keepIdsRising(first, end - 1);
}

bool UrlList::moveChosen(std::vector<bool>& chosen, int by) {
    chosen.resize(spans_.size(), false);
    // Each run of chosen rows trades places with the row beside it, which moves to its far end.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (const auto& run : RunsOf(chosen)) {
        if (by < 0 ? run.first > 0 : run.second + 1 < spans_.size()) runs.push_back(run);
    }
    if (runs.empty() || by == 0) return false;
    const bool oneByOne = runs.size() <= kRunsToldOneByOne;
    if (!oneByOne) beginResetModel();
    for (const auto& [a, b] : runs) {
        if (by < 0) {
            if (oneByOne) beginMoveRows(QModelIndex(), int(a - 1), int(a - 1), QModelIndex(), int(b + 1));
            rotateRows(a - 1, a, b + 1);
            chosen[a - 1] = true;
            chosen[b] = false;
        } else {
            if (oneByOne) beginMoveRows(QModelIndex(), int(b + 1), int(b + 1), QModelIndex(), int(a));
            rotateRows(a, b + 1, b + 2);
            chosen[a] = false;
            chosen[b + 1] = true;
        }
        if (oneByOne) endMoveRows();
    }
    if (!oneByOne) endResetModel();
    return true;
}

bool UrlList::moveChosenBefore(std::vector<bool>& chosen, int before) {
    chosen.resize(spans_.size(), false);
    const auto runs = RunsOf(chosen);
    const std::size_t target = static_cast<std::size_t>(std::clamp(before, 0, count()));
    if (runs.empty()) return false;
    if (runs.size() == 1) {
        const auto [a, b] = runs.front();
        if (target >= a && target <= b + 1) return false;  // dropped onto itself
        beginMoveRows(QModelIndex(), int(a), int(b), QModelIndex(), int(target));
        if (target < a) rotateRows(target, a, b + 1);
        else rotateRows(a, b + 1, target);
        endMoveRows();
    } else {
        // Scattered entries gather: the rest keep their order around them.
        beginResetModel();
        std::vector<UrlListSpan> picked, before_, after;
        for (std::size_t i = 0; i < spans_.size(); ++i) {
            if (chosen[i]) picked.push_back(spans_[i]);
            else (i < target ? before_ : after).push_back(spans_[i]);
        }
        spans_.clear();
        spans_.insert(spans_.end(), before_.begin(), before_.end());
        spans_.insert(spans_.end(), picked.begin(), picked.end());
        spans_.insert(spans_.end(), after.begin(), after.end());
        keepIdsRising(std::min(runs.front().first, target), std::max(runs.back().second, target));
        endResetModel();
    }
    // Where the chosen entries stand now: after the others that were above the target.
    std::size_t above = 0, picked = 0;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (chosen[i]) ++picked;
        else if (i < target) ++above;
    }
    std::fill(chosen.begin(), chosen.end(), false);
    std::fill(chosen.begin() + static_cast<std::ptrdiff_t>(above), chosen.begin() + static_cast<std::ptrdiff_t>(above + picked), true);
    return true;
}

UrlList::Restored UrlList::undoRemoval() {
    if (undo_.empty()) return {};
    Removal removal = std::move(undo_.back());
    undo_.pop_back();
    const std::size_t back = removal.spans.size();
    if (back == 0) return {};
    // The texts return to the list's blocks; ids, outcomes and notes are the entries' own.
    std::vector<UrlListSpan> returning;
    returning.reserve(back);
    for (const UrlListSpan& s : removal.spans) {
        UrlListSpan span = store(removal.textOf(s));
        span.id = s.id;
        span.outcome = s.outcome;
        span.page = s.page;
        returning.push_back(span);
    }
    for (auto& [id, note] : removal.notes) notes_[id] = std::move(note);
    puttingBack_ = true;

    // Each at its old row, as far as the list reaches now.
    std::vector<std::size_t> rows(back);
    const std::size_t total = spans_.size() + back;
    for (std::size_t k = 0; k < back; ++k) {
        const std::size_t wanted = removal.rows.empty() ? k : removal.rows[k];
        rows[k] = std::min(wanted, total - (back - k));
        if (k > 0) rows[k] = std::max(rows[k], rows[k - 1] + 1);
    }
    // The runs of returning rows, from the rows themselves: the list may be long, the removal short.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t row : rows) {
        if (!runs.empty() && runs.back().second + 1 == row) runs.back().second = row;
        else runs.emplace_back(row, row);
    }
    if (runs.size() <= kRunsToldOneByOne) {
        std::size_t k = 0;
        for (const auto& [a, b] : runs) {
            beginInsertRows(QModelIndex(), int(a), int(b));
            spans_.insert(spans_.begin() + static_cast<std::ptrdiff_t>(a), returning.begin() + static_cast<std::ptrdiff_t>(k),
                          returning.begin() + static_cast<std::ptrdiff_t>(k + (b - a + 1)));
            k += b - a + 1;
            endInsertRows();
        }
    } else {
        beginResetModel();
        // Merged in place from the end: each entry moves once, and no second list is made.
        std::size_t kept = spans_.size();
        spans_.resize(total);
        std::size_t k = back;
        for (std::size_t row = total; row-- > 0 && k > 0;) {
            if (rows[k - 1] == row) spans_[row] = returning[--k];
            else spans_[row] = spans_[--kept];
        }
        endResetModel();
    }
    puttingBack_ = false;
    // Entries moved since the removal may leave ids out of order.
    keepIdsRising(0, spans_.size() - 1);
    std::vector<EntryId> putBack;
    putBack.reserve(back);
    for (const std::size_t row : rows) putBack.push_back(spans_[row].id);
    emit entriesPutBack(putBack);
    return {static_cast<qsizetype>(back), static_cast<int>(rows.front()) + 1};
}

void UrlList::setTextAt(int position, QStringView text) {
    if (position < 1 || position > count()) throw std::out_of_range("Invalid list position " + std::to_string(position));
    UrlListSpan& span = spans_[static_cast<std::size_t>(position - 1)];
    const UrlListSpan made = storeUtf16(text);
    releaseSpan(span);
    span.block = made.block;
    span.offset = made.offset;
    span.length = made.length;
    const QModelIndex row = index(position - 1);
    emit dataChanged(row, row);
    compactIfWasteful();
}
