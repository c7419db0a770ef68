#pragma once
// The URL list: the ordered texts that the next download run fetches. Positions are 1-based,
// duplicates are allowed and the list keeps insertion order.
//
// The texts live as UTF-8 in large blocks rather than one heap object each, so that a million
// entries stay fast to add and small in memory.
#include <QAbstractListModel>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

// Where one entry's UTF-8 text lies in the list's blocks.
struct UrlListSpan {
    std::uint32_t block;
    std::uint32_t offset;
    std::uint32_t length;
};

class UrlList : public QAbstractListModel {
    Q_OBJECT
public:
    explicit UrlList(QObject* parent = nullptr);
    ~UrlList() override;

    int count() const { return static_cast<int>(spans_.size()); }
    QString textAt(int position) const;            // 1..count
    std::string_view utf8At(int position) const;    // 1..count, valid until the next change
    void append(QStringView text);
    void removeAt(int position);                   // 1..count
    void clear();

    // Adds many entries with a single notification to the view.
    class Batch {
    public:
        explicit Batch(UrlList& list);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        void add(QStringView text);
        void addUtf8(std::string_view utf8);  // must be valid UTF-8
        void commit();
    private:
        UrlList& list_;
        std::vector<UrlListSpan> staged_;
    };
    void appendMany(const QStringList& texts);

    // Removes every entry whose UTF-8 text the predicate accepts, in one pass; the rest keep
    // their order. The predicate is asked about each entry once, in list order, before anything
    // changes. Returns how many were removed.
    qsizetype removeIf(const std::function<bool(std::string_view)>& shouldRemove);

    // Model interface for the view.
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void setHeaderText(const QString& text);

    // A row's tool tip: its whole text, shortened in the middle when very long.
    QString toolTipAt(int position) const;  // 1..count

    // Bytes held in text blocks (for the benchmark).
    std::size_t storageBytes() const;

private:
    friend class Batch;
    UrlListSpan store(std::string_view utf8);
    UrlListSpan storeUtf16(QStringView text);
    char* reserve(std::size_t bytes, std::uint32_t& blockIndex, std::uint32_t& offset);
    void releaseSpan(const UrlListSpan& span);
    void compactIfWasteful();

    std::vector<UrlListSpan> spans_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::uint32_t> blockSizes_;
    std::uint32_t tailUsed_ = 0;
    std::uint64_t liveBytes_ = 0;
    std::uint64_t garbageBytes_ = 0;
    std::uint64_t stagedBytes_ = 0;  // of live texts still in open batches
    int openBatches_ = 0;
    QString header_;
};

