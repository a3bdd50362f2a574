// The timers that carry a run, and its end: the window's last display, and the file that the
// release marks to be opened.

#include "tests/component/RunFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmtest;

namespace
{
    constexpr int stateTimer = -2;
    constexpr int interfaceTimer = -1;

    /** Opens the writing end of a named pipe and closes it again: a reader waiting in it then
        reads an empty file. Tried for a while, as the reader may not have reached the pipe yet. */
    bool endPipe (const juce::File& pipe)
    {
        return runUntil ([&]
        {
            const auto fd = ::open (pipe.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);

            if (fd < 0)
                return false;

            ::close (fd);
            return true;
        });
    }
}

class CompletionTest : public RunFixture
{
protected:
    juce::String localFileOf (const juce::String& filename) const
    {
        return productFolder().getFullPathName() + "/" + filename;
    }

    /** The run has completed and stays open: no box, no quit, nothing opened. */
    void expectOpenOnDone()
    {
        ASSERT_TRUE (waitForDone());

        // Longer than two interface ticks: nothing more happens after completion.
        runFor (1200);
        EXPECT_EQ (label ("statusLabel"), "Download done ...");
        EXPECT_EQ (component().getProgressValue(), 1.0);
        EXPECT_TRUE (findOpenBoxes().empty());
        EXPECT_EQ (quitsSinceStart(), 0);
        EXPECT_TRUE (opener.opened().isEmpty()) << opener.opened().joinIntoString ("\n");
        EXPECT_TRUE (window->window().isShowing());
    }
};

TEST_F (CompletionTest, AnEmptyListCompletesWithAFullBarAndStaysOpen)
{
    runWithManifest (manifestWithFiles ({}));

    expectOpenOnDone();
    EXPECT_EQ (label ("sizeLabel"), "0 bytes of 0 bytes");
    EXPECT_EQ (label ("amountLabel"), "0%");
    EXPECT_EQ (component().getFileCount(), 0);
    EXPECT_EQ (component().getTotalBytes(), 0);
    EXPECT_TRUE (productFolder().isDirectory());

    EXPECT_FALSE (component().isTimerRunning (stateTimer));
    EXPECT_FALSE (component().isTimerRunning (interfaceTimer));
}

TEST_F (CompletionTest, TheStateTimerTicksWhileTheManifestArrivesAndStopsOnceTheRecordsExist)
{
    // The manifest's head and first half come at once; the rest only when the test says so.
    // Shared with the server's thread, which may still wait when a check below gives up early.
    const auto manifest = std::make_shared<const std::string> (manifestWithFiles ({}));
    const auto release = std::make_shared<std::atomic<bool>> (false);

    server.routes().Get ("/meta", [manifest, release] (const httplib::Request&, httplib::Response& response)
    {
        response.set_content_provider (manifest->size(), "application/json",
                                       [manifest, release] (size_t offset, size_t length, httplib::DataSink& sink)
        {
            if (offset == 0)
                return sink.write (manifest->data(), manifest->size() / 2);

            for (int waited = 0; ! *release && waited < 10000; waited += 5)
                std::this_thread::sleep_for (std::chrono::milliseconds (5));

            return sink.write (manifest->data() + offset, length);
        });
    });
    server.start();

    openWindow (server.url ("/meta"));
    startRunInFolder (base.get());
    ASSERT_TRUE (runUntil ([&] { return server.requestCount ("/meta") == 1; })) << describeOpenBoxes();

    // Longer than the interface timer's interval: the run waits, its state timer still running.
    runFor (700);
    EXPECT_EQ (component().getState(), DownloaderState::idle);
    EXPECT_TRUE (component().isTimerRunning (stateTimer));
    EXPECT_FALSE (component().isTimerRunning (interfaceTimer));
    EXPECT_EQ (label ("statusLabel"), "initializing ...");
    EXPECT_TRUE (findOpenBoxes().empty());

    *release = true;
    ASSERT_TRUE (waitForDone());
    EXPECT_FALSE (component().isTimerRunning (stateTimer));
    EXPECT_TRUE (findOpenBoxes().empty());
}

TEST_F (CompletionTest, FilesAlreadyPresentCompleteWithoutARequestAndTheMarkedOneIsOpened)
{
    const auto elements = std::vector<std::string> { presentFile ("first.bin", 1000),
                                                     presentFile ("second.bin", 2000, true),
                                                     presentFile ("third.bin", 3000) };
    runWithManifest (manifestWithFiles (elements));

    ASSERT_TRUE (waitForRecords());
    EXPECT_EQ (component().getTotalBytes(), 6000);

    EXPECT_EQ (opener.waitForOpened (1), juce::StringArray (localFileOf ("second.bin")));
    EXPECT_EQ (quitsSinceStart(), 1) << "the program is asked to quit as the file is opened";

    EXPECT_EQ (label ("statusLabel"), "Download done ...");
    EXPECT_EQ (component().getProgressValue(), 1.0);
    EXPECT_EQ (label ("sizeLabel"), "5.9 KB of 5.9 KB");
    EXPECT_EQ (label ("amountLabel"), "100%");
    EXPECT_EQ (component().getVerifiedCount(), 3);
    EXPECT_FALSE (component().isTimerRunning (stateTimer));

    runFor (1200);
    EXPECT_EQ (quitsSinceStart(), 1);
    EXPECT_EQ (opener.opened().size(), 1);
    EXPECT_EQ (fileRequests ({ "first.bin", "second.bin", "third.bin" }), 0);
    EXPECT_FALSE (component().isTimerRunning (interfaceTimer));
}

TEST_F (CompletionTest, OfTwoMarkedFilesOnlyTheFirstInManifestOrderIsOpened)
{
    // The names sort the other way round, so that the order can only come from the manifest.
    runWithManifest (manifestWithFiles ({ presentFile ("plain.bin", 300),
                                          presentFile ("zeta.bin", 400, true),
                                          presentFile ("alpha.bin", 500, true) }));

    EXPECT_EQ (opener.waitForOpened (1), juce::StringArray (localFileOf ("zeta.bin")));
    runFor (1200);
    EXPECT_EQ (opener.opened(), juce::StringArray (localFileOf ("zeta.bin")));
    EXPECT_EQ (quitsSinceStart(), 1);
}

TEST_F (CompletionTest, ARunWithoutAMarkedFileStaysOpenOnDone)
{
    runWithManifest (manifestWithFiles ({ presentFile ("one.bin", 1024), presentFile ("two.bin", 1024) }));

    expectOpenOnDone();
    EXPECT_EQ (label ("sizeLabel"), "2.0 KB of 2.0 KB");
    EXPECT_EQ (label ("amountLabel"), "100%");
    EXPECT_EQ (fileRequests ({ "one.bin", "two.bin" }), 0);
}

TEST_F (CompletionTest, WhileFilesOnDiskAreCheckedTheBarIsIndeterminateAndTheCountsStay)
{
    // The first file is complete on disk. The second is a named pipe of size 0, whose reading
    // waits until the test ends the pipe: a file that takes long to check, for as long as the
    // test looks. The third is not on disk yet.
    const auto first = presentFile ("first.bin", 1024);
    const auto pipe = productFolder().getChildFile ("second.bin");
    ASSERT_EQ (::mkfifo (pipe.getFullPathName().toRawUTF8(), 0600), 0);
    const auto third = randomBytes (3072, 3);
    server.serve ("/files/third.bin", 200, bytesOf (third));

    runWithManifest (manifestWithFiles ({ first,
                                          fileElement (fileUrl ("second.bin").toStdString(), "second.bin", 0, sha256Hex ({})),
                                          fileElement (fileUrl ("third.bin").toStdString(), "third.bin", 3072, sha256Hex (third)) }));

    EXPECT_TRUE (runUntil ([&] { return label ("statusLabel") == "Checking files ..."; }))
        << "status: " << label ("statusLabel") << "; " << describeOpenBoxes();
    EXPECT_EQ (component().getProgressValue(), -1.0);
    EXPECT_EQ (label ("sizeLabel").toStdString(), "1.0 KB of 4.0 KB");
    EXPECT_EQ (label ("amountLabel").toStdString(), "25%");

    ASSERT_TRUE (endPipe (pipe)) << "the check never reached the pipe";
    ASSERT_TRUE (waitForDone (15000));
}

TEST_F (CompletionTest, DownloadedFilesEndOnDoneAndTheMarkedOneIsOpened)
{
    // Two files that are not on disk yet: each is fetched, verified and the run then completes.
    const auto first = randomBytes (40000, 1);
    const auto second = randomBytes (70000, 2);
    server.serve ("/files/first.bin", 200, std::string ((const char*) first.getData(), first.getSize()));
    server.serve ("/files/second.bin", 200, std::string ((const char*) second.getData(), second.getSize()));

    runWithManifest (manifestWithFiles ({ fileElement (fileUrl ("first.bin").toStdString(), "first.bin", 40000, sha256Hex (first)),
                                          fileElement (fileUrl ("second.bin").toStdString(), "second.bin", 70000, sha256Hex (second), true) }));

    EXPECT_EQ (opener.waitForOpened (1, 10000), juce::StringArray (localFileOf ("second.bin")));
    EXPECT_EQ (quitsSinceStart(), 1);
    EXPECT_EQ (label ("statusLabel"), "Download done ...") << "not \"Checking files ...\"";
    EXPECT_EQ (component().getProgressValue(), 1.0);
    EXPECT_EQ (label ("amountLabel"), "100%");
    EXPECT_EQ (server.requestCount ("/files/first.bin"), 1);
    EXPECT_EQ (server.requestCount ("/files/second.bin"), 1);
    EXPECT_EQ (juce::File (localFileOf ("second.bin")).getSize(), 70000);

    // The last file's timer stops itself at its next tick and starts nothing more.
    EXPECT_TRUE (runUntil ([&] { return ! component().isTimerRunning (1); }, 3000));
    EXPECT_FALSE (component().isTimerRunning (interfaceTimer));
    EXPECT_FALSE (component().isTimerRunning (2));
    EXPECT_EQ (quitsSinceStart(), 1);
    EXPECT_TRUE (findOpenBoxes().empty());
}
