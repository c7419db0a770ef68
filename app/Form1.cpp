#include "app/Form1.h"
#include "app/DesktopSignals.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTreeView>

namespace {
// Form positions are given in twips; 15 twips make one pixel.
int px(int twips) { return (twips + 7) / 15; }
QRect twipRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}
}  // namespace

Form1::Form1(Dialogs::DialogService& dialogs, const Settings::Store& settings, QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), settings_(settings) {
    buildControls();
    connectHandlers();
    setUpDownloadRun();
    setUpListActions();
    desktop_ = new DesktopSignals(*this);
}

// A run under way ends, and the list work hands nothing over any more, before the window goes.
Form1::~Form1() {
    endDownloadRun();
    endListJobs();
}

void Form1::buildControls() {
    setWindowTitle(QString::fromLatin1(Dialogs::kProductName));
    setFixedSize(px(8040), px(6960));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    QFont formFont(QStringLiteral("Arial"), 9, QFont::Bold);
    setFont(formFont);
    QFont buttonFont(QStringLiteral("Arial"));
    buttonFont.setPointSizeF(11.25);
    buttonFont.setBold(true);

    ListView1 = new QTreeView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(twipRect(120, 120, 7800, 2805));
    ListView1->setModel(&urls_);
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setItemsExpandable(false);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setTextElideMode(Qt::ElideNone);
    // The one column fills the list; dragged wider, it still reveals long entries.
    ListView1->header()->setStretchLastSection(true);
    ListView1->setToolTip(tr(
        "Double-click item to remove it. Move | line to right and out of window to reveal full names."));

    auto makeButton = [&](QPushButton*& button, const char* name, const QString& caption, QWidget* parent,
                          QRect geometry) {
        button = new QPushButton(caption, parent);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(geometry);
        button->setFont(buttonFont);
        button->setAutoDefault(false);
    };
    makeButton(PushButton5, "PushButton5", tr("Add One URL"), this, twipRect(120, 3015, 3840, 405));
    makeButton(PushButton13, "PushButton13", tr("Load List Of URLs From File"), this, twipRect(4080, 3015, 3840, 405));
    makeButton(PushButton7, "PushButton7", tr("Get All Links Within URL"), this, twipRect(120, 3525, 3840, 405));
    makeButton(PushButton11, "PushButton11", tr("Clear List"), this, twipRect(120, 4545, 3840, 405));
    makeButton(PushButton17, "PushButton17", tr("Remove URLs Containing X"), this, twipRect(120, 4035, 3840, 405));
    makeButton(PushButton3, "PushButton3", tr("Remove URLs Not Cont. X"), this, twipRect(4080, 4035, 3840, 405));

    Frame1 = new QGroupBox(tr("Download Option"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipRect(120, 7110, 7320, 1070));
    Option1 = new QRadioButton(tr("Download all files to one folder"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(twipRect(240, 300, 4335, 255));
    Option1->setChecked(true);
    Option2 = new QRadioButton(
        tr("Download all files to one folder and create new subfolders based on URL"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setGeometry(twipRect(240, 650, 6615, 255));

    makeButton(PushButton2, "PushButton2", tr("Start Downloading"), this, twipRect(120, 5910, 7800, 405));
    makeButton(PushButton1, "PushButton1", tr("Help"), this, twipRect(4080, 4545, 3840, 405));

    ProgressBar1 = new CaptionProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(twipRect(120, 6435, 7800, 405));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    ProgressBar1->setTextVisible(true);
    ProgressBar1->setCaption(tr("Progress Bar"));

    makeButton(PushButton4, "PushButton4", tr("Load Sample/Example URLs"), this, twipRect(4080, 3525, 3840, 405));

    Frame2 = new QGroupBox(tr("Save To This Folder"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(twipRect(120, 4980, 7800, 810));
    Text1 = new QLineEdit(Frame2);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipRect(240, 300, 6540, 345));
    makeButton(PushButton6, "PushButton6", QStringLiteral("..."), Frame2, twipRect(6840, 300, 720, 345));
    // Options sit on the folder frame's title line, right-aligned, where the frame has room.
    makeButton(PushButton18, "PushButton18", tr("Options..."), Frame2, twipRect(6000, 0, 1560, 270));
    {
        QFont small = buttonFont;
        small.setPointSizeF(buttonFont.pointSizeF() * 0.8);
        PushButton18->setFont(small);
        PushButton18->setToolTip(tr("Downloads at once and speed limit (Ctrl+,)"));
    }

    // Tab order as the controls are laid out: left to right, top to bottom. The option pair lies
    // below the visible area, so it comes last.
    QWidget* order[] = {ListView1,    PushButton5, PushButton13, PushButton7, PushButton4, PushButton17,
                        PushButton3,  PushButton11, PushButton1, PushButton18, Text1,      PushButton6,
                        PushButton2,  Option1,      Option2};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    // Hover rules: the pointer follows the mouse over buttons and the surface.
    QWidget* watched[] = {this,        Frame1,       Frame2,       Text1,       ListView1,
                          ListView1->viewport(),     ListView1->header(),       PushButton1, PushButton2,
                          PushButton3, PushButton4,  PushButton5,  PushButton6, PushButton7,
                          PushButton11, PushButton13, PushButton17, PushButton18};
    for (QWidget* w : watched) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
}

void Form1::connectHandlers() {
    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
    connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { PushButton6_Click(); });
    connect(PushButton7, &QPushButton::clicked, this, [this] { PushButton7_Click(); });
    connect(PushButton11, &QPushButton::clicked, this, [this] { PushButton11_Click(); });
    connect(PushButton13, &QPushButton::clicked, this, [this] { PushButton13_Click(); });
    connect(PushButton17, &QPushButton::clicked, this, [this] { PushButton17_Click(); });
    connect(PushButton18, &QPushButton::clicked, this, [this] { PushButton18_Click(); });
    auto* options = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(options, &QShortcut::activated, this, [this] { PushButton18_Click(); });
    // Clicks only: a selection made by the program runs the handler from where it makes it.
    connect(Option1, &QRadioButton::clicked, this, [this] { Option1_Click(); });
    connect(Option2, &QRadioButton::clicked, this, [this] { Option2_Click(); });
    connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
}

void Form1::setMousePointer(int pointer) {
    // A run sets the busy pointer for every item: on X11 each setCursor is a round of requests.
    if (pointer == pointer_ && pointer == PointerBusy) return;
    pointer_ = pointer;
    switch (pointer) {
    case PointerArrow: setCursor(Qt::ArrowCursor); break;
    case PointerBusy: setCursor(Qt::WaitCursor); break;
    case PointerHand: setCursor(customCursor_); break;
    default: unsetCursor(); break;
    }
}

void Form1::setCustomCursor(const QCursor& cursor) {
    customCursor_ = cursor;
    if (pointer_ == PointerHand) setCursor(customCursor_);
}

void Form1::applyHoverRule(QObject* watched) {
    if (pointer_ == PointerBusy) return;
    if (qobject_cast<QPushButton*>(watched)) setMousePointer(PointerHand);
    else setMousePointer(PointerDefault);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseMove: {
        // A move that a child ignored reaches its container too; only the widget under the
        // mouse counts.
        auto* container = qobject_cast<QWidget*>(watched);
        const auto* move = static_cast<QMouseEvent*>(event);
        if (container && (container == this || container == Frame1 || container == Frame2) &&
            container->childAt(move->position().toPoint()))
            break;
        applyHoverRule(watched);
        break;
    }
    case QEvent::Enter:
        applyHoverRule(watched);
        break;
    case QEvent::KeyPress:
        if (watched == ListView1) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Delete) {
                removeSelectedEntries();
                return true;
            }
        }
        break;
    case QEvent::MouseButtonDblClick:
        if (watched == ListView1->viewport()) {
            // The row double-clicked is the one removed, whatever else is selected.
            const QModelIndex row = ListView1->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint());
            if (row.isValid())
                ListView1->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect |
                                                                      QItemSelectionModel::Rows);
            ListView1_DblClick();
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

int Form1::selectedEntry() const {
    const QItemSelectionModel* model = ListView1->selectionModel();
    const QModelIndex current = model->currentIndex();
    if (current.isValid() && model->isRowSelected(current.row())) return current.row() + 1;
    const std::vector<bool> rows = selectedRows();
    for (std::size_t row = 0; row < rows.size(); ++row)
        if (rows[row]) return static_cast<int>(row) + 1;
    return 0;
}

std::vector<bool> Form1::selectedRows() const {
    // From the selection's ranges: a list of every selected index would cost a million
    // objects after Ctrl+A.
    std::vector<bool> rows(static_cast<std::size_t>(urls_.count()), false);
    for (const QItemSelectionRange& range : ListView1->selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom() && row < urls_.count(); ++row)
            rows[static_cast<std::size_t>(row)] = true;
    return rows;
}

namespace {
// The entry that moved into the place of the first removed one is selected next, so Delete can
// be pressed again.
void selectAfterRemoval(QTreeView* view, const UrlList& urls, int position) {
    const int next = std::min(position, urls.count());
    if (next > 0)
        view->selectionModel()->setCurrentIndex(urls.index(next - 1),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}
}  // namespace

void Form1::removeSelectedEntry() {
    // During a run a stray double-click never removes a transfer; Delete does, on purpose.
    if (listLocked() || IsDownloading) return;
    if (urls_.count() == 0) return;
    const int position = selectedEntry();
    if (position == 0) return;
    urls_.removeAt(position);
    selectAfterRemoval(ListView1, urls_, position);
}

void Form1::removeSelectedEntries() {
    if (listLocked()) return;
    const std::vector<bool> chosen = selectedRows();
    std::size_t first = 0;
    while (first < chosen.size() && !chosen[first]) ++first;
    if (first == chosen.size()) return;
    // removeIf asks about the entries in list order.
    std::size_t row = 0;
    urls_.removeIf([&](std::string_view) { return chosen[row++]; });
    selectAfterRemoval(ListView1, urls_, static_cast<int>(first) + 1);
}

void Form1::ListView1_DblClick() { removeSelectedEntry(); }

void Form1::ListView1_KeyDown(int keyCode) {
    if (keyCode == 46) removeSelectedEntries();
}

void Form1::closeEvent(QCloseEvent* event) {
    closing_ = true;
    emit aboutToClose();
    event->accept();
}
