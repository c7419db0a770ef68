// A window closed in the middle of a run, in a process of its own that quits on its last window
// closed, as the program does: what it leaves for the next start is exactly what it did not store.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "download/UnfinishedWork.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

std::string bodyOf(const std::string& name) { return std::string(20000, 'x') + name; }

}  // namespace

TEST(CloseMidRun, TheNextStartOffersExactlyWhatWasNotStoredWheneverTheWindowIsClosed) {
    LoopbackServer http;
    http.server().Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        // A little time per file, so that the closes below fall at many moments of the run.
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        res.set_content(bodyOf(req.matches[1].str()), "application/octet-stream");
    });
    http.start();
    constexpr int kFiles = 200;
    QStringList urls;
    for (int k = 0; k < kFiles; ++k) urls << http.url(s("/files/%1.bin").arg(k));

    for (const int closeAfterMs : {0, 15, 40, 80, 150, 250, 400, 600, 900, 1400}) {
        SCOPED_TRACE(closeAfterMs);
        QTemporaryDir dir;
        const QString folder = dir.filePath(s("out"));
        ASSERT_TRUE(QDir().mkpath(folder));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(s("XDG_STATE_HOME"), dir.filePath(s("state")));
        env.insert(s("QT_QPA_PLATFORM"), s("offscreen"));
        QProcess copy;
        copy.setProcessEnvironment(env);
        copy.start(s(FETCHWRIGHT_WINDOW_COPY), QStringList{folder, QString::number(closeAfterMs)} + urls);
        ASSERT_TRUE(copy.waitForFinished(Timing::boundMs(60000)));
        ASSERT_EQ(copy.exitStatus(), QProcess::NormalExit);
        ASSERT_EQ(copy.exitCode(), 0) << copy.readAllStandardError().toStdString();
        // A closed window ends its run without a word; only a run that ended before the close
        // said what it did.
        const QByteArray said = copy.readAllStandardOutput();

        QSet<QString> stored;
        for (const QString& name : entriesOf(folder)) {
            EXPECT_EQ(contentOf(folder + s("/") + name), QByteArray::fromStdString(bodyOf(name.toStdString())))
                << name.toStdString();
            stored.insert(http.url(s("/files/") + name));
        }
        QSet<QString> offered;
        if (auto leftover = Download::UnfinishedRunRecord::FindLeftover(dir.filePath(s("state/Fetchwright")))) {
            EXPECT_EQ(leftover->run().folder, folder);
            for (const QString& entry : leftover->run().entries) offered.insert(entry);
            EXPECT_EQ(offered.size(), leftover->run().entries.size()) << "an entry offered twice";
        }
        for (const QString& url : urls) {
            const bool isStored = stored.contains(url), isOffered = offered.contains(url);
            EXPECT_NE(isStored, isOffered) << url.toStdString() << (isStored ? " stored and offered again" : " neither stored nor offered");
        }
        EXPECT_EQ(stored.size() + offered.size(), kFiles);
        if (!said.isEmpty()) {
            EXPECT_TRUE(said.startsWith("message\tDone.")) << said.toStdString();
            EXPECT_TRUE(offered.isEmpty());
        }
    }
}
