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

char* UrlList::reserve(std::size_t bytes, std::uint32_t& blockIndex, std::uint32_t& offset) {
    if (bytes > UINT32_MAX) throw std::length_error("List entry too long");
    if (blocks_.empty() || tailUsed_ + bytes > blockSizes_.back()) {
        // A text longer than a block gets a block of its own.
        const auto size = static_cast<std::uint32_t>(std::max<std::size_t>(kBlockSize, bytes));
        blocks_.emplace_back(new char[size]);
        blockSizes_.push_back(size);
        tailUsed_ = 0;
    }
    blockIndex = static_cast<std::uint32_t>(blocks_.size() - 1);
    offset = tailUsed_;
    tailUsed_ += static_cast<std::uint32_t>(bytes);
    return blocks_.back().get() + offset;
}

UrlListSpan UrlList::store(std::string_view utf8) {
    UrlListSpan span{0, 0, static_cast<std::uint32_t>(utf8.size())};
    if (!utf8.empty()) std::memcpy(reserve(utf8.size(), span.block, span.offset), utf8.data(), utf8.size());
    liveBytes_ += utf8.size();
    return span;
}

UrlListSpan UrlList::storeUtf16(QStringView text) {
    // Plain ASCII (nearly every address) is copied byte for byte.
    bool ascii = true;
    for (QChar c : text) {
        if (c.unicode() >= 0x80) { ascii = false; break; }
    }
    UrlListSpan span{0, 0, 0};
    if (text.isEmpty()) return span;
    if (ascii) {
        char* out = reserve(static_cast<std::size_t>(text.size()), span.block, span.offset);
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

void UrlList::append(QStringView text) {
    const UrlListSpan span = storeUtf16(text);
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
    beginRemoveRows(QModelIndex(), row, row);
    releaseSpan(spans_[static_cast<std::size_t>(row)]);
    spans_.erase(spans_.begin() + row);
    endRemoveRows();
    compactIfWasteful();
}

void UrlList::clear() {
    beginResetModel();
    spans_.clear();
    spans_.shrink_to_fit();
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
    if (removed == 0) return 0;

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
        s = store(v);
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

void UrlList::Batch::add(QStringView text) {
    staged_.push_back(list_.storeUtf16(text));
    list_.stagedBytes_ += staged_.back().length;
}
void UrlList::Batch::addUtf8(std::string_view utf8) {
    staged_.push_back(list_.store(utf8));
    list_.stagedBytes_ += staged_.back().length;
}

void UrlList::Batch::commit() {
    if (staged_.empty()) return;
    const int first = list_.count();
    list_.beginInsertRows(QModelIndex(), first, first + static_cast<int>(staged_.size()) - 1);
    list_.spans_.insert(list_.spans_.end(), staged_.begin(), staged_.end());
    list_.endInsertRows();
    for (const UrlListSpan& s : staged_) list_.stagedBytes_ -= s.length;
    staged_.clear();
}

int UrlList::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count(); }

QVariant UrlList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) return {};
    if (role == Qt::ToolTipRole) return toolTipAt(index.row() + 1);
    if (role != Qt::DisplayRole) return {};
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
