// The download task of the platform layer, on its own: real HTTP servers on 127.0.0.1, real
// files, and a listener that records every callback with the thread it came on.

#include "tests/support/TestSupport.h"

#include "platform/DownloadTask.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmtest;

namespace
{
    constexpr int shortTimeoutMs = 2000;

    /** Records what a task reports, in order, with the threads the calls come on. */
    class RecordingListener : public juce::URL::DownloadTaskListener
    {
    public:
        struct Call
        {
            bool isFinished = false;
            juce::int64 bytes = 0, total = 0;
            bool success = false;
            juce::URL::DownloadTask* task = nullptr;
            std::thread::id thread;
        };

        void progress (juce::URL::DownloadTask* task, juce::int64 bytes, juce::int64 total) override
        {
            const std::lock_guard<std::mutex> lock (mutex);
            calls.push_back ({ false, bytes, total, false, task, std::this_thread::get_id() });
            changed.notify_all();
        }

        void finished (juce::URL::DownloadTask* task, bool success) override
        {
            const std::lock_guard<std::mutex> lock (mutex);
            calls.push_back ({ true, 0, 0, success, task, std::this_thread::get_id() });
            changed.notify_all();
        }

        std::vector<Call> snapshot() const
        {
            const std::lock_guard<std::mutex> lock (mutex);
            return calls;
        }

        int finishedCount() const
        {
            int n = 0;
            for (const auto& call : snapshot())
                n += call.isFinished ? 1 : 0;
            return n;
        }

        /** Waits until the condition holds for the calls so far, or the time is up. */
        bool waitFor (const std::function<bool (const std::vector<Call>&)>& condition, int timeoutMs)
        {
            std::unique_lock<std::mutex> lock (mutex);
            return changed.wait_for (lock, std::chrono::milliseconds (timeoutMs), [&] { return condition (calls); });
        }

        bool waitForFinished (int timeoutMs = 10000)
        {
            return waitFor ([] (const std::vector<Call>& c) { return ! c.empty() && c.back().isFinished; }, timeoutMs);
        }

        std::vector<Call> progressCalls() const
        {
            std::vector<Call> result;
            for (const auto& call : snapshot())
                if (! call.isFinished)
                    result.push_back (call);
            return result;
        }

    private:
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<Call> calls;
    };

    std::string headers (int status, const std::string& reason, juce::int64 contentLength)
    {
        return "HTTP/1.1 " + std::to_string (status) + " " + reason + "\r\nContent-Type: application/octet-stream\r\n"
             + "Content-Length: " + std::to_string (contentLength) + "\r\nConnection: close\r\n\r\n";
    }

    juce::uint32 now()  { return juce::Time::getMillisecondCounter(); }

    bool isSymbolicLink (const juce::File& file)
    {
        struct stat info;
        return ::lstat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISLNK (info.st_mode);
    }
}

class DownloadTaskTest : public testing::Test
{
protected:
    TempFolder folder;
    juce::File target = folder / "target.bin";
    RecordingListener listener;
};

//==============================================================================
TEST_F (DownloadTaskTest, ReadsTheBodyInBlocksWithProgressBeforeEachReadAndFinishesOnceOnItsOwnThread)
{
    const auto body = bytesOf (randomBytes (100000, 1));
    HttpServer server;
    server.serve ("/file", 200, body);
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/file")), target, &listener);
    ASSERT_NE (task, nullptr);

    // Fixed when start returns, before the body has been read.
    EXPECT_EQ (task->statusCode(), 200);
    EXPECT_EQ (task->getTotalLength(), (juce::int64) body.size());

    ASSERT_TRUE (listener.waitForFinished());
    runFor (200);

    const auto calls = listener.snapshot();
    const auto progress = listener.progressCalls();
    ASSERT_FALSE (progress.empty());

    EXPECT_EQ (listener.finishedCount(), 1);
    EXPECT_TRUE (calls.back().isFinished) << "nothing is reported after finished";
    EXPECT_TRUE (calls.back().success);
    EXPECT_EQ (calls.back().task, task.get());

    EXPECT_EQ (progress.front().bytes, 0) << "the first report comes before the first read";

    for (size_t i = 0; i < progress.size(); ++i)
    {
        EXPECT_EQ (progress[i].total, (juce::int64) body.size());
        EXPECT_EQ (progress[i].task, task.get());
        EXPECT_EQ (progress[i].thread, calls.back().thread) << "every call comes on the task's worker";

        if (i > 0)
        {
            EXPECT_GT (progress[i].bytes, progress[i - 1].bytes) << "at " << i;
            EXPECT_LE (progress[i].bytes - progress[i - 1].bytes, velm::DownloadTask::blockSize) << "at " << i;
        }
    }

    // Never after the last read: the last report still lacks the last block.
    EXPECT_LT (progress.back().bytes, (juce::int64) body.size());
    EXPECT_LE ((juce::int64) body.size() - progress.back().bytes, velm::DownloadTask::blockSize);
    EXPECT_GE (progress.size(), (body.size() + velm::DownloadTask::blockSize - 1) / velm::DownloadTask::blockSize);

    EXPECT_NE (calls.back().thread, std::this_thread::get_id());
    EXPECT_EQ (fileBytes (target), body);

    EXPECT_TRUE (task->isFinished());
    EXPECT_FALSE (task->hadError());
    EXPECT_EQ (task->statusCode(), 200);
    EXPECT_EQ (task->getTotalLength(), (juce::int64) body.size());
    EXPECT_EQ (task->getLengthDownloaded(), (juce::int64) body.size());
}

TEST_F (DownloadTaskTest, AnAnswerWithoutContentLengthHasTheLengthMinusOneAndIsReadToItsEnd)
{
    const auto body = bytesOf (randomBytes (70000, 2));
    HttpServer server;
    server.routes().Get ("/chunked", [body] (const httplib::Request&, httplib::Response& response)
    {
        response.set_chunked_content_provider ("application/octet-stream", [body] (size_t, httplib::DataSink& sink)
        {
            sink.write (body.data(), body.size());
            sink.done();
            return true;
        });
    });
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/chunked")), target, &listener);
    ASSERT_NE (task, nullptr);
    EXPECT_EQ (task->statusCode(), 200);
    EXPECT_EQ (task->getTotalLength(), -1);

    ASSERT_TRUE (listener.waitForFinished());
    EXPECT_TRUE (listener.snapshot().back().success);
    EXPECT_EQ (listener.finishedCount(), 1);
    EXPECT_EQ (fileBytes (target), body);
    EXPECT_EQ (task->getTotalLength(), -1);

    for (const auto& call : listener.progressCalls())
        EXPECT_EQ (call.total, -1);
}

TEST_F (DownloadTaskTest, AnHttpErrorStatusIsNoFailureAndItsBodyIsWritten)
{
    HttpServer server;
    server.serve ("/missing", 404, "no such file here");
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/missing")), target, &listener);
    ASSERT_NE (task, nullptr);
    EXPECT_EQ (task->statusCode(), 404);
    EXPECT_EQ (task->getTotalLength(), 17);

    ASSERT_TRUE (listener.waitForFinished());
    EXPECT_TRUE (listener.snapshot().back().success);
    EXPECT_EQ (fileBytes (target), "no such file here");
}

// The redirect's own answer is never taken for the file's: also when the target answers only a
// while after the redirect has arrived.
class RedirectTest : public DownloadTaskTest, public testing::WithParamInterface<int> {};

TEST_P (RedirectTest, IsFollowedAndTheTaskHoldsTheFinalAnswersStatusAndLength)
{
    const auto targetDelayMs = GetParam();
    HttpServer server;
    server.routes().Get ("/old", [] (const httplib::Request&, httplib::Response& response) { response.set_redirect ("/new", 302); });
    server.routes().Get ("/new", [targetDelayMs] (const httplib::Request&, httplib::Response& response)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (targetDelayMs));
        response.set_content ("the moved content", "application/octet-stream");
    });
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/old")), target, &listener);
    ASSERT_NE (task, nullptr);
    EXPECT_EQ (task->statusCode(), 200);
    EXPECT_EQ (task->getTotalLength(), 17);

    ASSERT_TRUE (listener.waitForFinished());
    EXPECT_TRUE (listener.snapshot().back().success);
    EXPECT_EQ (fileBytes (target), "the moved content");
    EXPECT_EQ (server.requestCount ("/old"), 1);
    EXPECT_EQ (server.requestCount ("/new"), 1);
}

INSTANTIATE_TEST_SUITE_P (TargetDelays, RedirectTest, testing::Values (0, 300),
                          [] (const testing::TestParamInfo<int>& delay) { return "After" + std::to_string (delay.param) + "ms"; });

//==============================================================================
// The target is made afresh: what was at its path is unlinked, never written through.

TEST_F (DownloadTaskTest, AnExistingFileIsReplacedNotTruncatedInPlaceNorAppendedTo)
{
    const std::string oldContent (5000, 'o');
    ASSERT_TRUE (target.replaceWithData (oldContent.data(), oldContent.size()));

    // A second name for the old file: if the task wrote into the old file instead of a new one,
    // this name would show it.
    const auto secondName = folder / "second-name";
    ASSERT_EQ (::link (target.getFullPathName().toRawUTF8(), secondName.getFullPathName().toRawUTF8()), 0);

    HttpServer server;
    server.serve ("/file", 200, "new");
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/file")), target, &listener);
    ASSERT_NE (task, nullptr);
    ASSERT_TRUE (listener.waitForFinished());

    EXPECT_EQ (fileBytes (target), "new");
    EXPECT_EQ (fileBytes (secondName), oldContent);
}

TEST_F (DownloadTaskTest, ASymbolicLinkAtTheTargetIsReplacedByAFileAndWhatItPointedAtIsLeftAlone)
{
    TempFolder elsewhere;
    const auto victim = elsewhere / "victim.txt";
    ASSERT_TRUE (victim.replaceWithText ("must stay"));
    ASSERT_TRUE (victim.createSymbolicLink (target, true));
    ASSERT_TRUE (isSymbolicLink (target));

    HttpServer server;
    server.serve ("/file", 200, "downloaded");
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/file")), target, &listener);
    ASSERT_NE (task, nullptr);
    ASSERT_TRUE (listener.waitForFinished());
    EXPECT_TRUE (listener.snapshot().back().success);

    EXPECT_FALSE (isSymbolicLink (target));
    EXPECT_TRUE (target.existsAsFile());
    EXPECT_EQ (fileBytes (target), "downloaded");
    EXPECT_EQ (victim.loadFileAsString(), "must stay");
}

//==============================================================================
// No task, and never a callback.

TEST_F (DownloadTaskTest, NothingListeningAtThePortGivesNoTask)
{
    auto task = velm::DownloadTask::start (juce::URL ("http://127.0.0.1:" + juce::String (unusedPort()) + "/file"), target, &listener);
    EXPECT_EQ (task, nullptr);

    runFor (300);
    EXPECT_TRUE (listener.snapshot().empty());
}

TEST_F (DownloadTaskTest, ATargetInAMissingFolderGivesNoTaskAndSendsNoRequest)
{
    HttpServer server;
    server.serve ("/file", 200, "content");
    server.start();

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/file")), (folder / "missing").getChildFile ("target.bin"), &listener);
    EXPECT_EQ (task, nullptr);

    runFor (300);
    EXPECT_TRUE (listener.snapshot().empty());
    EXPECT_EQ (server.requestCount ("/file"), 0);
    EXPECT_FALSE ((folder / "missing").exists());
}

TEST_F (DownloadTaskTest, AServerThatAcceptsAndNeverAnswersGivesNoTaskAfterTheTimeout)
{
    ScriptedSocketServer server ([] (SocketConnection& connection) { connection.waitForPeerClose (30000); });

    const auto started = now();
    auto task = velm::DownloadTask::start (juce::URL (server.url ("/silent")), target, &listener, shortTimeoutMs);
    const auto elapsed = (int) (now() - started);

    std::cout << "[ figures  ] no answer: start gave up after " << elapsed << " ms (timeout " << shortTimeoutMs << " ms)" << std::endl;

    EXPECT_EQ (task, nullptr);
    EXPECT_EQ (server.connectionCount(), 1);
    // Well below the default timeout of 30 s, so the given timeout is what ended the wait.
    EXPECT_LT (elapsed, 4 * shortTimeoutMs + 2000);

    runFor (300);
    EXPECT_TRUE (listener.snapshot().empty());
}

//==============================================================================
// A body that goes wrong half-way.

class BrokenBodyTest : public DownloadTaskTest
{
protected:
    static constexpr int announced = 100000;
    static constexpr int sentBeforeTrouble = 40000;
    const std::string body = bytesOf (randomBytes (announced, 7));

    std::string head() const  { return headers (200, "OK", announced); }
    std::string firstPart() const  { return body.substr (0, sentBeforeTrouble); }

    /** Waits until the task has written everything sent before the trouble. */
    bool waitForFirstPart()
    {
        return runUntil ([this] { return target.getSize() == sentBeforeTrouble; }, 10000);
    }
};

TEST_F (BrokenBodyTest, ABodyThatStopsArrivingFailsAfterTheTimeout)
{
    std::atomic<bool> peerClosed { false };
    ScriptedSocketServer server ([&] (SocketConnection& connection)
    {
        connection.send (head() + firstPart());
        peerClosed = connection.waitForPeerClose (30000);
    });

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/stall")), target, &listener, shortTimeoutMs);
    ASSERT_NE (task, nullptr);
    EXPECT_EQ (task->getTotalLength(), announced);

    ASSERT_TRUE (waitForFirstPart());
    const auto stalled = now();
    ASSERT_TRUE (listener.waitForFinished (30000));
    const auto elapsed = (int) (now() - stalled);

    std::cout << "[ figures  ] stalled body: finished(false) " << elapsed << " ms after the last byte (timeout "
              << shortTimeoutMs << " ms)" << std::endl;

    EXPECT_FALSE (listener.snapshot().back().success);
    EXPECT_EQ (listener.finishedCount(), 1);
    EXPECT_LT (elapsed, 4 * shortTimeoutMs + 2000);
    EXPECT_EQ (fileBytes (target), firstPart());
    EXPECT_TRUE (task->hadError());

    task.reset();
    EXPECT_TRUE (runUntil ([&] { return peerClosed.load(); }, 5000)) << "the connection is given up";
}

TEST_F (BrokenBodyTest, AConnectionResetInMidBodyFails)
{
    ScriptedSocketServer server ([&] (SocketConnection& connection)
    {
        connection.send (head() + firstPart());
        // Let the first part arrive before the reset, which would drop it from the queue.
        std::this_thread::sleep_for (std::chrono::milliseconds (300));
        connection.reset();
    });

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/reset")), target, &listener);
    ASSERT_NE (task, nullptr);
    ASSERT_TRUE (listener.waitForFinished());

    EXPECT_FALSE (listener.snapshot().back().success);
    EXPECT_EQ (listener.finishedCount(), 1);

    const auto written = fileBytes (target);
    EXPECT_LE (written.size(), (size_t) sentBeforeTrouble);
    EXPECT_EQ (written, body.substr (0, written.size()));
}

TEST_F (BrokenBodyTest, ABodyThatEndsShortOfItsLengthFails)
{
    ScriptedSocketServer server ([&] (SocketConnection& connection) { connection.send (head() + firstPart()); });

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/short")), target, &listener);
    ASSERT_NE (task, nullptr);
    ASSERT_TRUE (listener.waitForFinished());

    EXPECT_FALSE (listener.snapshot().back().success);
    EXPECT_EQ (fileBytes (target), firstPart());
}

TEST_F (BrokenBodyTest, ABodyLongerThanItsLengthIsCutAtTheLengthAndSucceeds)
{
    ScriptedSocketServer server ([&] (SocketConnection& connection)
    {
        connection.send (headers (200, "OK", 1000) + body.substr (0, 3000));
    });

    auto task = velm::DownloadTask::start (juce::URL (server.url ("/long")), target, &listener);
    ASSERT_NE (task, nullptr);
    EXPECT_EQ (task->getTotalLength(), 1000);
    ASSERT_TRUE (listener.waitForFinished());

    EXPECT_TRUE (listener.snapshot().back().success);
    EXPECT_EQ (fileBytes (target), body.substr (0, 1000));
}

TEST_F (BrokenBodyTest, DeletingATaskMidTransferReturnsPromptlyAndNothingIsReportedAfterwards)
{
    std::atomic<bool> peerClosed { false };
    ScriptedSocketServer server ([&] (SocketConnection& connection)
    {
        connection.send (head() + firstPart());
        peerClosed = connection.waitForPeerClose (30000);
    });

    // The default timeout: only the deletion may end this transfer.
    auto task = velm::DownloadTask::start (juce::URL (server.url ("/stall")), target, &listener);
    ASSERT_NE (task, nullptr);
    ASSERT_TRUE (waitForFirstPart());

    const auto started = now();
    task.reset();
    const auto elapsed = (int) (now() - started);
    std::cout << "[ figures  ] deleting a stalled task took " << elapsed << " ms" << std::endl;

    const auto callsAtDeletion = listener.snapshot().size();
    runFor (500);

    EXPECT_LT (elapsed, 5000);
    EXPECT_EQ (listener.snapshot().size(), callsAtDeletion) << "no callback after the deletion";
    EXPECT_EQ (listener.finishedCount(), 0);
    EXPECT_EQ (fileBytes (target), firstPart()) << "what was written stays";
    EXPECT_EQ (server.connectionCount(), 1);

    // The server sees the connection closed long before its own wait ends.
    EXPECT_TRUE (runUntil ([&] { return peerClosed.load(); }, 5000));
}
