#pragma once
// The main window. Its handlers are thin: they gather input through the dialog service, call
// the logic, and show the result. Handler bodies live beside the logic they drive:
//   app/        layout, pointer and hover rules, direct removal from the list, start-up
//   download/   the download run, the output folder and the download option
//   listbuild/  adding, loading, link extraction, filters, samples
//   support/    help
#include <QCursor>
#include <QWidget>

#include "app/CaptionProgressBar.h"
#include "app/Dialogs.h"
#include "app/ListJobs.h"
#include "download/Mending.h"
#include "download/SameFile.h"
#include "download/UnfinishedWork.h"
#include "listbuild/EntryBatch.h"
#include "urllist/UrlList.h"
#include "support/Settings.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeView;
class DesktopSignals;
struct StartupEnvironment;
namespace Download {
struct TransferLimits;
struct JobFigures;
struct JobResult;
class UnfinishedRunRecorder;
class DownloadJob;
}

// Values of the window's mouse pointer.
enum MousePointer : int {
    PointerDefault = 0,
    PointerArrow = 1,
    PointerBusy = 11,  // a long operation is under way
    PointerHand = 99,  // the custom cursor
};

class Form1 : public QWidget {
    Q_OBJECT
public:
    // The dialog service and the settings store are handed in and must outlive the window.
    Form1(Dialogs::DialogService& dialogs, const Settings::Store& settings, QWidget* parent = nullptr);
    ~Form1() override;

    // ---- Controls, named as on the form ----
    QTreeView* ListView1 = nullptr;
    QPushButton* PushButton1 = nullptr;   // Help
    QPushButton* PushButton2 = nullptr;   // Start Downloading
    QPushButton* PushButton3 = nullptr;   // Remove URLs Not Cont. X
    QPushButton* PushButton4 = nullptr;   // Load Sample/Example URLs
    QPushButton* PushButton5 = nullptr;   // Add One URL
    QPushButton* PushButton6 = nullptr;   // ... (browse for the output folder)
    QPushButton* PushButton7 = nullptr;   // Get All Links Within URL
    QPushButton* PushButton11 = nullptr;  // Clear List
    QPushButton* PushButton13 = nullptr;  // Load List Of URLs From File
    QPushButton* PushButton17 = nullptr;  // Remove URLs Containing X
    QPushButton* PushButton18 = nullptr;  // Options... (downloads at once, speed limit)
    QGroupBox* Frame1 = nullptr;          // Download Option (below the visible area)
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QGroupBox* Frame2 = nullptr;          // Save To This Folder
    QLineEdit* Text1 = nullptr;           // the output folder
    CaptionProgressBar* ProgressBar1 = nullptr;

    UrlList& urlList() { return urls_; }
    Dialogs::DialogService& dialogs() { return dialogs_; }
    const Settings::Store& settings() const { return settings_; }

    // The list's selected entry as a 1-based position, 0 when none: the current row when it is
    // selected, else the first selected one.
    int selectedEntry() const;
    // One flag per entry of the list: is it selected?
    std::vector<bool> selectedRows() const;

    // The notification and task-bar progress of runs.
    DesktopSignals& desktopSignals() { return *desktop_; }

    // ---- Mouse pointer ----
    int mousePointer() const { return pointer_; }
    void setMousePointer(int pointer);
    void setCustomCursor(const QCursor& cursor);
    bool isBusy() const { return pointer_ == PointerBusy; }

    // True once the window is closing.
    bool isClosing() const { return closing_; }

    // ---- Work on the list off the window thread (app/Form1_ListBuild.cpp) ----
    // A list file, page, paste or filter is under way; listBuildEnded() comes when the last ends.
    bool isListBuilding() const;
    // Runs `work` as a list job under the busy pointer. `ended` runs on the window thread after
    // everything the work handed over; when no job is left, the pointer becomes `endPointer`
    // (-1: what it was before the jobs).
    void startListJob(std::function<void(ListJobs::Job&)> work, std::function<void(const ListJobs::Ending&)> ended,
                      int endPointer = -1);
    // Where a job's work hands the entries it found: they reach the list a few times a second,
    // since the view lays out every row again after each addition.
    EntrySink entrySink(ListJobs::Job& job);

    // ---- Handlers ----
    void Form_Load();
    // ---- Start-up (app/Form1_Load.cpp) ----
    // The start-up sequence with its outside pieces given: program folder, settings file, ping
    // command, desktop folder, the home-page draw. Form_Load() takes them from the system.
    void Form_Load(const StartupEnvironment& environment);
    // After the window is shown: when a run of a copy that is gone did not finish, asks whether
    // its entries go back into the list. Form_Load queues it.
    void offerUnfinishedRun();
    void askAboutUnfinishedRun(const std::shared_ptr<std::optional<Download::UnfinishedRunRecord::Leftover>>& found, qint64 kept);
    // Invoked by name from the tidying worker once it has read the record.
    Q_INVOKABLE void unfinishedRunRead();
    void tidyUnfinishedWork(std::optional<Download::UnfinishedRunRecord::Leftover> forget);
    // The record of this copy's run under way (see download/UnfinishedWork.h for when the run
    // calls it); kept in the state folder start-up was given, else the user's.
    Download::UnfinishedRunRecorder& unfinishedRun();
    std::shared_ptr<Download::UnfinishedRunRecorder> unfinishedRecorder();
    // ---- end of start-up ----
    void PushButton1_Click();   // Help
    void PushButton2_Click();   // Start Downloading
    void PushButton3_Click();   // Remove URLs Not Cont. X
    void PushButton4_Click();   // Load Sample/Example URLs
    void PushButton5_Click();   // Add One URL
    void PushButton6_Click();   // browse for the output folder
    void PushButton7_Click();   // Get All Links Within URL
    void PushButton11_Click();  // Clear List
    void PushButton13_Click();  // Load List Of URLs From File
    void PushButton17_Click();  // Remove URLs Containing X
    void PushButton18_Click();  // Options (also Ctrl+,)
    // Loads list files in order (the chooser's and dropped ones), read off the window thread
    // and added in batches; a file that fails is reported, after the load, and the next one
    // still loads. `procedure` names the handler in error reports. After the list work under way.
    void loadListFiles(const QStringList& paths, const QString& procedure);
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();
    void ListView1_DblClick();
    void ListView1_KeyDown(int keyCode);

    // ---- Download run state ----
    bool IsDownloading = false;
    // Connect and stall time-outs and retry waits of the run's transfers (tests shorten them).
    void setTransferLimits(const Download::TransferLimits& limits);
    // Stops the run under way (Stop Downloading, Esc): the transfer in progress is aborted, no
    // later item starts, and the run ends through its closing steps.
    void stopDownloading();
    bool isStopping() const;

    // ---- Steering items by row (app/Form1_Download.cpp) ----
    // Space or Ctrl+P: the selected rows are paused, or resumed when the current row is paused.
    // During a run a transfer under way stops (a big one keeps its bytes) and its connection goes
    // to the next waiting item; outside a run a paused row stays out of the next Start until it is
    // resumed.
    void pauseOrResumeSelection();
    // Whether the current row is paused by the user (Space resumes it then).
    bool selectionIsHeld() const;
    // Whether Pause (or Resume) and Retry Now would do anything to the selected rows.
    bool canPauseSelection() const;
    bool canRetrySelection() const;
    // Ctrl+R during a run: a failed row, or one waiting for its next try, goes again in its place
    // with every try again.
    void retrySelection();
    // After a run: a run of the failed rows alone.
    void retryFailed();
    // "Change Address…" on a paused or failed row (app/Form1_ChangeAddress.cpp): asks for its new
    // address, prefilled with the old one; its kept bytes are continued when the new address
    // proves to serve the same file, else they are dropped only when the user says yes.
    bool canChangeAddress() const;
    void changeAddressOfSelection();
    // The list is being changed by a job (a list file, a page, a filter) or a long step holds it:
    // direct edits of rows wait. A run alone does not hold it.
    bool listLocked() const;

signals:
    // Emitted when the window starts closing, so that a running transfer can be aborted.
    void aboutToClose();
    // A run has ended and its closing message has been answered.
    void downloadEnded();
    // After the offer at start-up, the partials of a run the user did not want back and those
    // gone stale are removed. Emitted from the thread that did it, not the window's.
    void unfinishedWorkTidied();
    // The last list job has ended and its messages have been answered.
    void listBuildEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

    // ---- Working state of each subsystem, defined beside its handlers ----
    struct DownloadState;
    struct ListBuildState;

private:
    // Called once at the end of the constructor, each defined beside its handlers.
    void setUpDownloadRun();
    void setUpListActions();
    void showRunFigures(const Download::JobFigures& figures);
    void showRunMeter();
    void downloadRunFinished(const Download::JobResult& result);
    void endDownloadRun();
    // Stops the list work and waits for it to return (the window going away).
    void endListJobs();
    void addFoundEntries();
    // Work off the window's thread on the list jobs' worker, without the busy pointer: an expired
    // link's page read again (Download::Mender), a new address's proof.
    void runOffWindow(std::function<void(ListJobs::Job&)> work, std::function<void(const ListJobs::Ending&)> ended);
    Download::Mender pageMender();
    void watchAddressChanges(Download::DownloadJob& job);
    Download::DownloadJob* runJob() const;  // the job of the run under way or of the last one
    void finishAddressChange(UrlList::EntryId id, const QString& oldText, const QString& newText, const QString& folder,
                             const Download::AddressCheck& check);

    std::shared_ptr<DownloadState> download_;
    std::shared_ptr<ListBuildState> listBuild_;
    QString stateFolder_;
    std::shared_ptr<Download::UnfinishedRunRecorder> unfinished_;

    void buildControls();
    void connectHandlers();
    void applyHoverRule(QObject* watched);
    void removeSelectedEntry();
    void removeSelectedEntries();

    Dialogs::DialogService& dialogs_;
    const Settings::Store& settings_;
    UrlList urls_;
    DesktopSignals* desktop_ = nullptr;
    int pointer_ = PointerDefault;
    QCursor customCursor_{Qt::PointingHandCursor};
    bool closing_ = false;
    // The start-up tidying of kept partials, on a serial worker. Last, so that it is stopped and
    // waited for before anything it may touch goes.
    struct Tidying {
        std::atomic<bool> stop{false};
        bool begun = false;
        Fw::SerialWorker worker;
        // What the worker read, handed to the window under this lock (the thread sanitizer does
        // not see the hand-over of Qt's event queue).
        std::mutex lock;
        std::shared_ptr<std::optional<Download::UnfinishedRunRecord::Leftover>> found;
        qint64 kept = 0;
        ~Tidying() {
            stop = true;
            worker.stop();
        }
    } tidying_;
};
