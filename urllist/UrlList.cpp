#include "urllist/UrlList.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {
constexpr std::uint32_t kBlockSize = 1u << 20;  // texts are packed into 1 MiB blocks

void checkPosition(int position, int count) {
    if (position < 1 || position > count)
        throw std::out_of_range("Invalid list position " + std::to_string(position));
}
}  // namespace

UrlList::UrlList(QObject* parent) : QAbstractListModel(parent) {}
UrlList::~UrlList() = default;

char* UrlList::reserve(std::size_t bytes, UrlListSpan& span) {
    if (bytes > UINT32_MAX) throw std::length_error("List entry too long");
    if (blocks_.empty() || tailUsed_ + bytes > blockSizes_.back()) {
        if (blocks_.size() >= (1u << 24)) throw std::length_error("List too large");
        // A text longer than a block gets a block of its own.
        const auto size = static_cast<std::uint32_t>(std::max<std::size_t>(kBlockSize, bytes));
        blocks_.emplace_back(new char[size]);
        blockSizes_.push_back(size);
        tailUsed_ = 0;
    }
    span.block = static_cast<std::uint32_t>(blocks_.size() - 1);
    span.offset = tailUsed_;
    tailUsed_ += static_cast<std::uint32_t>(bytes);
    return blocks_.back().get() + span.offset;
}

UrlListSpan UrlList::store(std::string_view utf8) {
    UrlListSpan span{};
    span.length = static_cast<std::uint32_t>(utf8.size());
    if (!utf8.empty()) std::memcpy(reserve(utf8.size(), span), utf8.data(), utf8.size());
    liveBytes_ += utf8.size();
    return span;
}

UrlListSpan UrlList::storeUtf16(QStringView text) {
    // Plain ASCII (nearly every address) is copied byte for byte.
    bool ascii = true;
    for (QChar c : text) {
        if (c.unicode() >= 0x80) { ascii = false; break; }
    }
    UrlListSpan span{};
    if (text.isEmpty()) return span;
    if (ascii) {
        char* out = reserve(static_cast<std::size_t>(text.size()), span);
        for (qsizetype i = 0; i < text.size(); ++i) out[i] = static_cast<char>(text[i].unicode());
        span.length = static_cast<std::uint32_t>(text.size());
    } else {
        const QByteArray utf8 = text.toUtf8();
        span = store(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
        return span;
    }
    liveBytes_ += span.length;
    return span;
}

std::string_view UrlList::utf8At(int position) const {
    checkPosition(position, count());
    const UrlListSpan& s = spans_[static_cast<std::size_t>(position - 1)];
    if (s.length == 0) return {};
    return {blocks_[s.block].get() + s.offset, s.length};
}

QString UrlList::textAt(int position) const {
    const std::string_view v = utf8At(position);
    if (v.size() >= 3 && v.substr(0, 3) == "\xEF\xBB\xBF") {
        // QString::fromUtf8 would drop a leading U+FEFF; an entry keeps every character it has.
        QStringDecoder keepMark(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        return keepMark(QByteArrayView(v.data(), static_cast<qsizetype>(v.size())));
    }
    return QString::fromUtf8(v.data(), static_cast<qsizetype>(v.size()));
}

UrlList::EntryId UrlList::takeId() {
    if (nextId_ == UINT32_MAX) throw std::length_error("Too many entries added to the list");
    return nextId_++;
}

void UrlList::append(QStringView text) {
    UrlListSpan span = storeUtf16(text);
    span.id = takeId();
    const int row = count();
    beginInsertRows(QModelIndex(), row, row);
    spans_.push_back(span);
    endInsertRows();
}

void UrlList::appendMany(const QStringList& texts) {
    Batch batch(*this);
    for (const QString& t : texts) batch.add(t);
}

void UrlList::releaseSpan(const UrlListSpan& span) {
    liveBytes_ -= span.length;
    garbageBytes_ += span.length;
}

void UrlList::removeAt(int position) {
    checkPosition(position, count());
    const int row = position - 1;
    {
        Removal one;
        const UrlListSpan& span = spans_[static_cast<std::size_t>(row)];
        one.rows.push_back(static_cast<std::uint32_t>(row));
        one.add(span, utf8At(position));
        const auto note = notes_.find(span.id);
        if (note != notes_.end()) one.notes.emplace_back(note->first, note->second);
        keepForUndo(std::move(one));
    }
    beginRemoveRows(QModelIndex(), row, row);
    const EntryId id = spans_[static_cast<std::size_t>(row)].id;
    releaseSpan(spans_[static_cast<std::size_t>(row)]);
    if (!notes_.empty()) notes_.erase(id);
    spans_.erase(spans_.begin() + row);
    endRemoveRows();
    compactIfWasteful();
    emit entriesRemoved({id});
}

void UrlList::clear() {
    std::vector<EntryId> gone;
    gone.reserve(spans_.size());
    for (const UrlListSpan& span : spans_) gone.push_back(span.id);
    clearStorage();
    if (!gone.empty()) emit entriesRemoved(gone);
}

void UrlList::clearStorage() {
    if (!spans_.empty()) {
        if (openBatches_ > 0) {
            keepForUndo(removalOf(std::vector<bool>(spans_.size(), true)));
        } else {
            // The blocks go to the undo step as they are: clearing a big list copies nothing.
            Removal all;
            all.spans = std::move(spans_);
            all.notes.assign(notes_.begin(), notes_.end());
            for (auto size : blockSizes_) all.bytes += size;
            all.blocks = std::move(blocks_);
            blocks_.clear();
            keepForUndo(std::move(all));
        }
    }
    beginResetModel();
    spans_.clear();
    spans_.shrink_to_fit();
    notes_.clear();
    progress_.clear();
    if (openBatches_ > 0) {
        // Staged texts of an open batch still live in the blocks, and stay live.
        garbageBytes_ += liveBytes_ - stagedBytes_;
        liveBytes_ = stagedBytes_;
        endResetModel();
        return;
    }
    blocks_.clear();
    blockSizes_.clear();
    tailUsed_ = 0;
    liveBytes_ = garbageBytes_ = 0;
    endResetModel();
}

qsizetype UrlList::removeIf(const std::function<bool(std::string_view)>& shouldRemove) {
    // Decide first, then change the list in one go.
    std::vector<bool> remove(spans_.size(), false);
    qsizetype removed = 0;
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        if (shouldRemove(utf8At(static_cast<int>(i + 1)))) {
            remove[i] = true;
            ++removed;
        }
    }
    return removeWhere(remove, removed);
}

qsizetype UrlList::removeWhere(const std::vector<bool>& remove, qsizetype removed) {
    if (removed == 0) return 0;
    std::vector<EntryId> gone;
    gone.reserve(static_cast<std::size_t>(removed));
    for (std::size_t i = 0; i < remove.size(); ++i)
        if (remove[i]) gone.push_back(spans_[i].id);
    keepForUndo(removalOf(remove));
    if (!notes_.empty()) {
        for (std::size_t i = 0; i < remove.size(); ++i)
            if (remove[i]) notes_.erase(spans_[i].id);
    }

    // Runs of removed rows: a few are announced one by one so the view keeps its state;
    // many are announced as one reset.
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // [first, last]
    for (std::size_t i = 0; i < remove.size(); ++i) {
        if (!remove[i]) continue;
        if (!runs.empty() && runs.back().second + 1 == i) runs.back().second = i;
        else runs.emplace_back(i, i);
    }
    if (runs.size() <= 32) {
        for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
            beginRemoveRows(QModelIndex(), static_cast<int>(it->first), static_cast<int>(it->second));
            for (std::size_t i = it->first; i <= it->second; ++i) releaseSpan(spans_[i]);
            spans_.erase(spans_.begin() + static_cast<std::ptrdiff_t>(it->first),
                         spans_.begin() + static_cast<std::ptrdiff_t>(it->second + 1));
            endRemoveRows();
        }
    } else {
        beginResetModel();
        std::size_t out = 0;
        for (std::size_t i = 0; i < spans_.size(); ++i) {
            if (remove[i]) releaseSpan(spans_[i]);
            else spans_[out++] = spans_[i];
        }
        spans_.resize(out);
        endResetModel();
    }
    compactIfWasteful();
    emit entriesRemoved(gone);
    return removed;
}

void UrlList::compactIfWasteful() {
    // Removed texts leave holes in the blocks; rewrite the blocks once the holes outweigh the
    // live texts, so memory follows the list's size.
    if (openBatches_ > 0 || garbageBytes_ < kBlockSize || garbageBytes_ < liveBytes_) return;
    std::vector<std::unique_ptr<char[]>> oldBlocks;
    oldBlocks.swap(blocks_);
    blockSizes_.clear();
    tailUsed_ = 0;
    liveBytes_ = garbageBytes_ = 0;
    spans_.shrink_to_fit();
    for (UrlListSpan& s : spans_) {
        const std::string_view v(oldBlocks[s.block].get() + s.offset, s.length);
        const UrlListSpan moved = store(v);
        s.block = moved.block;
        s.offset = moved.offset;
    }
}

std::size_t UrlList::storageBytes() const {
    std::size_t total = 0;
    for (auto size : blockSizes_) total += size;
    return total + spans_.capacity() * sizeof(UrlListSpan);
}

UrlList::Batch::Batch(UrlList& list) : list_(list) { ++list_.openBatches_; }
UrlList::Batch::~Batch() {
    commit();
    --list_.openBatches_;
}

std::uint32_t UrlList::addPage(const QString& page) {
    if (page.isEmpty()) return 0;
    // Pages come one extraction at a time: the last one is the one asked for again.
    if (!pages_.empty() && pages_.back() == page) return static_cast<std::uint32_t>(pages_.size());
    pages_.push_back(page);
    return static_cast<std::uint32_t>(pages_.size());
}

QString UrlList::pageAt(int position) const {
    checkPosition(position, count());
    const std::uint32_t page = spans_[static_cast<std::size_t>(position - 1)].page;
    return page == 0 || page > pages_.size() ? QString() : pages_[page - 1];
}

void UrlList::Batch::add(QStringView text) {
    staged_.push_back(list_.storeUtf16(text));
    staged_.back().page = page_;
    list_.stagedBytes_ += staged_.back().length;
}
void UrlList::Batch::addUtf8(std::string_view utf8) {
    staged_.push_back(list_.store(utf8));
    staged_.back().page = page_;
    list_.stagedBytes_ += staged_.back().length;
}

void UrlList::Batch::commit() {
    if (staged_.empty()) return;
    const int first = list_.count();
    // Ids in the order the entries join the list, so they rise with the position.
    for (UrlListSpan& s : staged_) s.id = list_.takeId();
    list_.beginInsertRows(QModelIndex(), first, first + static_cast<int>(staged_.size()) - 1);
    list_.spans_.insert(list_.spans_.end(), staged_.begin(), staged_.end());
    list_.endInsertRows();
    for (const UrlListSpan& s : staged_) list_.stagedBytes_ -= s.length;
    staged_.clear();
}

int UrlList::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count(); }

QVariant UrlList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) return {};
    const UrlListSpan& span = spans_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole: break;
    case Qt::DecorationRole: return looks_[span.outcome].decoration;
    case ProgressRole:
    case ProgressTextRole: return progress_.empty() ? QVariant() : progressData(span.id, role);
    case Qt::ToolTipRole: {
        // The address, then what the last run made of it, or what the run under way makes of it.
        const QString address = toolTipAt(index.row() + 1);
        if (!progress_.empty()) {
            const QVariant now = progressData(span.id, Qt::ToolTipRole);
            if (now.isValid()) return address + QLatin1Char('\n') + now.toString();
        }
        if (span.outcome == 0) return address;
        const auto it = notes_.find(span.id);
        const QString note = it != notes_.end() ? shownNote(it->second, span.outcome) : looks_[span.outcome].toolTip;
        return note.isEmpty() ? address : address + QLatin1Char('\n') + note;
    }
    case OutcomeRole: return static_cast<int>(span.outcome);
    default: return {};
    }
    // The view lays out the whole text of a row on every paint: an entry of megabytes (one line
    // of an odd file or clipboard, a link without its closing quote) would freeze the window.
    // The list keeps the whole text; the row shows its beginning.
    constexpr std::size_t kShownBytes = 8192;
    std::string_view v = utf8At(index.row() + 1);
    if (v.size() <= kShownBytes) return textAt(index.row() + 1);
    std::size_t cut = kShownBytes;
    while (cut > 0 && (static_cast<unsigned char>(v[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    v = v.substr(0, cut);
    return QString::fromUtf8(v.data(), static_cast<qsizetype>(v.size())) + QChar(0x2026);
}

namespace {
// Where a cut at or before `at` leaves whole characters on both sides.
std::size_t characterStart(std::string_view v, std::size_t at) {
    while (at > 0 && (static_cast<unsigned char>(v[at]) & 0xC0) == 0x80) --at;
    return at;
}
}  // namespace

QString UrlList::toolTipAt(int position) const {
    // Cut as bytes before any conversion: a tip of megabytes would cost a long text layout and
    // would not fit on the screen anyway.
    constexpr std::size_t kWhole = 400, kHead = 240, kTail = 150;
    const std::string_view v = utf8At(position);
    if (v.size() <= kWhole) return textAt(position);
    const std::string_view head = v.substr(0, characterStart(v, kHead));
    const std::string_view tail = v.substr(characterStart(v, v.size() - kTail));
    return QString::fromUtf8(head.data(), static_cast<qsizetype>(head.size())) + QChar(0x2026) +
           QString::fromUtf8(tail.data(), static_cast<qsizetype>(tail.size()));
}

QVariant UrlList::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) return header_;
    return {};
}

void UrlList::setHeaderText(const QString& text) {
    header_ = text;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

UrlList::EntryId UrlList::idAt(int position) const {
    checkPosition(position, count());
    return spans_[static_cast<std::size_t>(position - 1)].id;
}

int UrlList::positionOf(EntryId id) const {
    const auto it = std::lower_bound(spans_.begin(), spans_.end(), id,
                                     [](const UrlListSpan& s, EntryId wanted) { return s.id < wanted; });
    return it != spans_.end() && it->id == id ? static_cast<int>(it - spans_.begin()) + 1 : 0;
}

int UrlList::firstPositionAfter(EntryId id) const {
    const auto it = std::upper_bound(spans_.begin(), spans_.end(), id,
                                     [](EntryId wanted, const UrlListSpan& s) { return wanted < s.id; });
    return it != spans_.end() ? static_cast<int>(it - spans_.begin()) + 1 : 0;
}

void UrlList::setOutcome(EntryId id, Outcome outcome, const QString& note) {
    const int position = positionOf(id);
    if (position == 0) return;
    spans_[static_cast<std::size_t>(position - 1)].outcome = static_cast<std::uint32_t>(outcome);
    putNote(id, outcome, note, false);
    const QModelIndex at = index(position - 1);
    emit dataChanged(at, at, {Qt::DecorationRole, Qt::ToolTipRole, OutcomeRole});
}

void UrlList::setOutcomes(const std::vector<OutcomeChange>& changes) {
    int first = 0, last = 0;
    for (const OutcomeChange& change : changes) {
        const int position = positionOf(change.id);
        if (position == 0) continue;
        spans_[static_cast<std::size_t>(position - 1)].outcome = static_cast<std::uint32_t>(change.outcome);
        putNote(change.id, change.outcome, change.note, change.formed);
        first = first == 0 ? position : std::min(first, position);
        last = std::max(last, position);
    }
    // One change for the rows they span: a view repaints once, not once a row.
    if (first != 0) emit dataChanged(index(first - 1), index(last - 1), {Qt::DecorationRole, Qt::ToolTipRole, OutcomeRole});
}

UrlList::Outcome UrlList::outcomeAt(int position) const {
    checkPosition(position, count());
    return static_cast<Outcome>(spans_[static_cast<std::size_t>(position - 1)].outcome);
}

QString UrlList::noteAt(int position) const {
    const auto it = notes_.find(idAt(position));
    if (it == notes_.end()) return QString();
    return shownNote(it->second, spans_[static_cast<std::size_t>(position - 1)].outcome);
}

void UrlList::putNote(EntryId id, Outcome outcome, const QString& note, bool formed) {
    if (note.isEmpty() || outcome == Outcome::None) notes_.erase(id);
    else notes_[id] = Note{note, formed && !looks_[static_cast<std::size_t>(outcome)].noteForm.isEmpty()};
}

QString UrlList::shownNote(const Note& note, std::uint32_t outcome) const {
    return note.formed ? looks_[outcome].noteForm.arg(note.text) : note.text;
}

void UrlList::clearOutcomes() {
    constexpr auto held = static_cast<std::uint32_t>(Outcome::Held);
    bool any = false, anyHeld = false;
    for (UrlListSpan& s : spans_) {
        if (s.outcome == held) {
            anyHeld = true;
            continue;
        }
        any = any || s.outcome != 0;
        s.outcome = 0;
    }
    if (!anyHeld) {
        notes_.clear();
    } else {
        for (auto it = notes_.begin(); it != notes_.end();) {
            const int position = positionOf(it->first);
            if (position == 0 || spans_[static_cast<std::size_t>(position - 1)].outcome != held)
                it = notes_.erase(it);
            else
                ++it;
        }
    }
    if (any) emit dataChanged(index(0), index(count() - 1), {Qt::DecorationRole, Qt::ToolTipRole, OutcomeRole});
}

qsizetype UrlList::countOutcome(Outcome outcome) const {
    return std::count_if(spans_.begin(), spans_.end(),
                         [&](const UrlListSpan& s) { return s.outcome == static_cast<std::uint32_t>(outcome); });
}

qsizetype UrlList::removeStored() {
    std::vector<bool> remove(spans_.size(), false);
    qsizetype removed = 0;
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        // A file that was there already is as good as stored.
        if (spans_[i].outcome == static_cast<std::uint32_t>(Outcome::Stored) ||
            spans_[i].outcome == static_cast<std::uint32_t>(Outcome::Skipped)) {
            remove[i] = true;
            ++removed;
        }
    }
    return removeWhere(remove, removed);
}

void UrlList::setOutcomeFrom(int position, Outcome outcome) {
    if (position < 1 || position > count()) return;
    for (std::size_t i = static_cast<std::size_t>(position - 1); i < spans_.size(); ++i) {
        spans_[i].outcome = static_cast<std::uint32_t>(outcome);
        if (!notes_.empty()) notes_.erase(spans_[i].id);
    }
    emit dataChanged(index(position - 1), index(count() - 1), {Qt::DecorationRole, Qt::ToolTipRole, OutcomeRole});
}

void UrlList::setOutcomeLook(Outcome outcome, const QVariant& decoration, const QString& toolTip, const QString& noteForm) {
    looks_[static_cast<std::size_t>(outcome)] = Look{decoration, toolTip, noteForm};
    if (count() > 0) emit dataChanged(index(0), index(count() - 1), {Qt::DecorationRole});
}
