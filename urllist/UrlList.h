#pragma once
// The URL list: the ordered texts that the next download run fetches. Positions are 1-based,
// duplicates are allowed and the list keeps insertion order.
//
// The texts live as UTF-8 in large blocks rather than one heap object each, so that a million
// entries stay fast to add and small in memory.
#include <QAbstractListModel>
#include <QString>

#include <cstdint>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

// One entry: where its UTF-8 text lies in the list's blocks, its id, the last run's outcome and
// the page it was found on (an index into the list's few pages, 0 for none).
struct UrlListSpan {
    std::uint32_t block : 24;
    std::uint32_t outcome : 8;
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t id;
    std::uint32_t page;
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
    // The entry goes by another text; it keeps its id, place, page and outcome (1..count).
    void setTextAt(int position, QStringView text);
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
        // The entries added from now on were found on this page (UrlList::addPage).
        void setPage(std::uint32_t page) { page_ = page; }
        void commit();
    private:
        UrlList& list_;
        std::uint32_t page_ = 0;
        std::vector<UrlListSpan> staged_;
    };
    void appendMany(const QStringList& texts);

    // Removes every entry whose UTF-8 text the predicate accepts, in one pass; the rest keep
    // their order. The predicate is asked about each entry once, in list order, before anything
    // changes. Returns how many were removed.
    qsizetype removeIf(const std::function<bool(std::string_view)>& shouldRemove);

    // The page an entry was found on ("Get All Links Within URL"), which its requests send as
    // their Referer; empty for an entry from anywhere else. Entries share their page's text: a
    // page is kept once, and an entry holds its number.
    std::uint32_t addPage(const QString& page);
    QString pageAt(int position) const;  // 1..count

    // Every entry has an id that stays while the entry does. Ids grow with each entry added and
    // are never given again, so they rise with the position and a run can walk the list by id
    // while entries are removed or added around it. Moving entries (and putting removed ones
    // back) hands the ids of the rows it touched out again in rising order.
    using EntryId = std::uint32_t;
    EntryId idAt(int position) const;                 // 1..count
    int positionOf(EntryId id) const;                 // 0 when the entry is gone
    int firstPositionAfter(EntryId id) const;         // the first entry with a higher id; 0 when none
    EntryId nextId() const { return nextId_; }        // the id the next entry added gets

    // What the last run did with an entry, shown on its row (decoration and tool tip).
    // Paused: stopped with its bytes kept, so that the next run continues it. Held: paused by the
    // user, kept out of runs until resumed (what it keeps is continued then); a new run's start
    // leaves it as it is.
    enum class Outcome : std::uint8_t { None, Stored, Failed, NotReached, Skipped, Paused, Held };
    static constexpr int OutcomeRole = Qt::UserRole + 1;
    void setOutcome(EntryId id, Outcome outcome, const QString& note);  // nothing when the entry is gone
    // Several at once, told to views as one change over the rows they span. A `formed` note is
    // what fills its outcome's note form (the path in "Stored as %1"): the row keeps the path the
    // run made, not a text of its own for each of thousands of files.
    struct OutcomeChange {
        EntryId id = 0;
        Outcome outcome = Outcome::None;
        QString note;
        bool formed = false;
    };
    void setOutcomes(const std::vector<OutcomeChange>& changes);
    // The same outcome, without a note of its own, for every entry from `position` on.
    void setOutcomeFrom(int position, Outcome outcome);
    Outcome outcomeAt(int position) const;
    QString noteAt(int position) const;
    // Every outcome but Held, whose rows stay held.
    void clearOutcomes();
    qsizetype countOutcome(Outcome outcome) const;
    // Removes the entries the last run stored. Returns how many were removed.
    qsizetype removeStored();
    // What a row of that outcome shows: its decoration (an icon the window picks), the tool tip
    // of an entry without a note of its own, and the form ("Stored as %1") its formed notes fill.
    void setOutcomeLook(Outcome outcome, const QVariant& decoration, const QString& toolTip, const QString& noteForm = QString());

    // ---- Rows under way (UrlListProgress.cpp) ----
    // While a run fetches an entry its row shows how far it has got: the share of its size
    // received (ProgressRole: 0 to 1, -1 while its size is unknown; nothing when the row is not
    // under way), a short text for the row's right end (ProgressTextRole) and a line of its tool
    // tip. Each change is told to views for that row only.
    static constexpr int ProgressRole = Qt::UserRole + 2;
    static constexpr int ProgressTextRole = Qt::UserRole + 3;
    struct Progress {
        double share = -1;
        QString text;
        QString tip;
    };
    void setProgress(EntryId id, Progress progress);  // nothing when the entry is gone
    void clearProgress(EntryId id);
    void clearAllProgress();
    bool hasProgress(EntryId id) const { return progress_.count(id) > 0; }

    // ---- Reordering (UrlListEdit.cpp) ----
    // `chosen` has one flag per entry, and afterwards flags where the chosen entries now stand.
    // Moves the chosen entries one place up (by -1) or down (by +1); those pressed against the
    // edge stay. True when anything moved.
    bool moveChosen(std::vector<bool>& chosen, int by);
    // Moves the chosen entries, in their order, to stand before row `before` (0-based; count() for
    // the end). True when anything moved.
    bool moveChosenBefore(std::vector<bool>& chosen, int before);

    // Rows dragged within the list: the drag says only which list it comes from; the rows moved
    // are the view's selection. removeRows stays unimplemented, so the view removes nothing
    // after such a drag.
    static constexpr const char* kRowsMimeType = "application/x-fetchwright-rows";
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }
    bool isOwnDrag(const QMimeData* data) const;

    // ---- Undo of removals (UrlListEdit.cpp) ----
    // Every removal (removeAt, removeIf, removeStored, clear) can be taken back, the last ten.
    static constexpr std::size_t kUndoSteps = 10;
    bool canUndo() const { return !undo_.empty(); }
    // Puts back what the last removal took, at its old places (with its outcome), moving later
    // entries down. `first` is the 1-based position of the first entry put back.
    struct Restored {
        qsizetype count = 0;
        int first = 0;
    };
    Restored undoRemoval();
    // True while an undo inserts its rows (entriesPutBack() follows with their final ids).
    bool isPuttingBack() const { return puttingBack_; }

    // Model interface for the view.
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void setHeaderText(const QString& text);

    // A row's tool tip: its whole text, shortened in the middle when very long.
    QString toolTipAt(int position) const;  // 1..count

    // Bytes held in text blocks (for the benchmark).
    std::size_t storageBytes() const;

signals:
    // After any removal (one row, a filter, Clear List): the ids of the entries that went, so
    // that a run under way can leave them out.
    void entriesRemoved(const std::vector<UrlList::EntryId>& ids);
    // Entries got other ids so that ids keep rising with the rows (rows moved, or put back): pairs
    // of old and new id, every one of which was an entry's before and is one's after.
    void entriesRenumbered(const std::vector<std::pair<UrlList::EntryId, UrlList::EntryId>>& changes);
    // An undo put these entries back (their ids as they are now), after its rows were inserted.
    void entriesPutBack(const std::vector<UrlList::EntryId>& ids);

private:
    friend class Batch;
    UrlListSpan store(std::string_view utf8);
    UrlListSpan storeUtf16(QStringView text);
    char* reserve(std::size_t bytes, UrlListSpan& span);
    void releaseSpan(const UrlListSpan& span);
    void compactIfWasteful();
    void clearStorage();
    EntryId takeId();
    qsizetype removeWhere(const std::vector<bool>& remove, qsizetype removed);

    // A row's note: its own text, or the detail its outcome's note form is filled with.
    struct Note {
        QString text;
        bool formed = false;
    };
    // What one removal took: texts packed in blocks of its own, so that a single entry removed
    // costs a single entry kept.
    struct Removal {
        std::vector<std::uint32_t> rows;  // rows before the removal, rising; empty: every row
        std::vector<UrlListSpan> spans;   // their texts in `blocks`
        std::vector<std::unique_ptr<char[]>> blocks;
        std::vector<std::pair<EntryId, Note>> notes;
        std::size_t bytes = 0;
        std::uint32_t tailUsed = 0;
        void add(const UrlListSpan& span, std::string_view text);
        std::string_view textOf(const UrlListSpan& span) const;
    };
    Removal removalOf(const std::vector<bool>& remove) const;
    void keepForUndo(Removal removal);
    void keepIdsRising(std::size_t first, std::size_t last);
    void rotateRows(std::size_t first, std::size_t middle, std::size_t end);
    std::deque<Removal> undo_;
    bool puttingBack_ = false;

    QVariant progressData(EntryId id, int role) const;
    void putNote(EntryId id, Outcome outcome, const QString& note, bool formed);
    QString shownNote(const Note& note, std::uint32_t outcome) const;

    // What a row of each outcome shows, as setOutcomeLook() gave it.
    struct Look {
        QVariant decoration;
        QString toolTip;
        QString noteForm;
    };
    std::array<Look, 7> looks_;
    // Rows under way, by id: a few at a time.
    std::unordered_map<EntryId, Progress> progress_;
    // Tool tips of the last run's outcomes, by id: only entries a run reached have one.
    std::unordered_map<EntryId, Note> notes_;
    EntryId nextId_ = 1;

    std::vector<UrlListSpan> spans_;
    std::vector<QString> pages_;  // by number - 1; kept while undo may bring an entry back
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::uint32_t> blockSizes_;
    std::uint32_t tailUsed_ = 0;
    std::uint64_t liveBytes_ = 0;
    std::uint64_t garbageBytes_ = 0;
    std::uint64_t stagedBytes_ = 0;  // of live texts still in open batches
    int openBatches_ = 0;
    QString header_;
};

