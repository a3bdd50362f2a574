// The release's files fetched in the real window from servers on 127.0.0.1: order, verification,
// the retries and the one box that every failure ends in, and a window closed mid-transfer.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using namespace velmtest;

namespace
{
    const std::string support = "support@velm.example";
    const std::string refusedPrefix = "An error occured during download Code: ";

    std::string refusedMessage (int status)
    {
        return refusedPrefix + std::to_string (status) + ". \nPlease contact velm support for help: " + support;
    }

    std::string brokenOffMessage (int status)
    {
        return refusedPrefix + std::to_string (status) + ". \nPlease try again or contact velm support for help: " + support;
    }

    const std::string corruptedMessage = "Please try again or contact velm support for help: " + support;
    const std::string urlMessage = "Part Url is empty or not correct. Please contact velm support for help: " + support;
    const std::string connectionMessage = "Could not connect to server";

    const std::string emptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

    std::string upperCase (std::string text)
    {
        for (auto& c : text)
            c = (char) std::toupper ((unsigned char) c);
        return text;
    }

    std::string responseHead (int status, juce::int64 contentLength)
    {
        return "HTTP/1.1 " + std::to_string (status) + " Whatever\r\nContent-Type: application/octet-stream\r\n"
             + "Content-Length: " + std::to_string (contentLength) + "\r\nConnection: close\r\n\r\n";
    }

    /** A release file: its name, its content, and what the manifest says about it. */
    struct ReleaseFile
    {
        std::string name;
        std::string body;

        std::string sha256() const  { return velmtest::sha256Hex (juce::MemoryBlock (body.data(), body.size())); }
    };

    ReleaseFile makeFile (const std::string& name, size_t size)
    {
        return { name, bytesOf (randomBytes (size, (juce::int64) std::hash<std::string>() (name))) };
    }
}

//==============================================================================
class FileDownloadTest : public testing::Test
{
protected:
    void SetUp() override
    {
        productName = uniqueProductName ("Files");
        quitsBefore = TestApplication::get().quitRequests.load();

        server.routes().Get ("/meta", [this] (const httplib::Request&, httplib::Response& response)
        {
            const std::lock_guard<std::mutex> lock (mutex);
            response.set_content (manifest, "application/json");
        });
    }

    void TearDown() override
    {
        window.reset();
    }

    /** Serves /files/<name> with a handler of the test's own that is told which attempt for this
        file it answers (0, 1, 2, ...); every request is logged in arrival order. Call before
        startServer(). */
    void serveFile (const std::string& name, std::function<void (int attempt, httplib::Response&)> handler)
    {
        server.routes().Get ("/files/" + name, [this, name, handler] (const httplib::Request&, httplib::Response& response)
        {
            int attempt;

            {
                const std::lock_guard<std::mutex> lock (mutex);
                attempt = (int) std::count (requestLog.begin(), requestLog.end(), name);
                requestLog.push_back (name);
                arrivalTimes[name].push_back (juce::Time::getMillisecondCounter());
                arrivals.push_back (onArrival ? onArrival (name) : std::string());
            }

            handler (attempt, response);
        });
    }

    void serveFileBody (const ReleaseFile& file)
    {
        serveFile (file.name, [body = file.body] (int, httplib::Response& response)
        {
            response.set_content (body, "application/octet-stream");
        });
    }

    void startServer()  { server.start(); }

    std::string fileUrl (const std::string& name) const  { return server.url ("/files/" + juce::String (name)).toStdString(); }

    std::string elementFor (const ReleaseFile& file)
    {
        return fileElement (fileUrl (file.name), file.name, (double) file.body.size(), file.sha256());
    }

    /** Opens the window on a manifest of these elements and downloads into the test's folder. */
    void startRun (const std::vector<std::string>& elements)
    {
        {
            const std::lock_guard<std::mutex> lock (mutex);
            manifest = R"({"sku":"test","buildno":7,"version":"1.0","files":[)";

            for (size_t i = 0; i < elements.size(); ++i)
                manifest += (i > 0 ? "," : "") + elements[i];

            manifest += "]}";
        }

        window = std::make_unique<WindowUnderTest> (productName, makeConfig (productName, server.url ("/meta")));
        startRunInFolder (base.get());
    }

    MainComponent& component()  { return window->component(); }
    juce::String label (const juce::String& name)  { return labelText (component(), name); }
    juce::File productFolder() const  { return base / productName; }
    int quitsSinceStart() const  { return TestApplication::get().quitRequests.load() - quitsBefore; }

    std::vector<std::string> requests() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return requestLog;
    }

    int requestsFor (const std::string& name) const
    {
        const auto log = requests();
        return (int) std::count (log.begin(), log.end(), name);
    }

    std::vector<juce::uint32> timesOf (const std::string& name) const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        const auto found = arrivalTimes.find (name);
        return found == arrivalTimes.end() ? std::vector<juce::uint32>() : found->second;
    }

    bool waitForDone (int timeoutMs = 15000)
    {
        return runUntil ([&] { return label ("statusLabel") == "Download done ..."; }, timeoutMs);
    }

    /** The one box that ends a failed run: its texts and single button; nothing further is
        requested while it is open, the run never completes, and closing it asks once to quit. */
    void expectTheOnlyBoxAndQuit (const std::string& title, const std::string& message,
                                  const std::function<int()>& requestCount)
    {
        const auto box = waitForBox (15000);
        ASSERT_NE (box.window.getComponent(), nullptr) << "no box; requests so far: " << requests().size();

        EXPECT_EQ (box.title.toStdString(), title);
        EXPECT_EQ (box.message.toStdString(), message);
        EXPECT_EQ (box.buttons, juce::StringArray { "Cancel" });

        const auto atBox = requestCount();
        runFor (2000);
        EXPECT_EQ (requestCount(), atBox) << "no request after the box";
        EXPECT_EQ (findOpenBoxes().size(), 1u) << "exactly one box";
        EXPECT_NE (label ("statusLabel"), "Download done ...");
        EXPECT_EQ (quitsSinceStart(), 0);

        clickButton (box, "Cancel");
        EXPECT_EQ (quitsSinceStart(), 1);
    }

    HttpServer server;
    TempFolder base;
    juce::String productName;
    int quitsBefore = 0;
    std::unique_ptr<WindowUnderTest> window;

    mutable std::mutex mutex;
    std::string manifest;
    std::vector<std::string> requestLog;
    std::map<std::string, std::vector<juce::uint32>> arrivalTimes;

    /** Called under the lock as each file request arrives; what it returns is kept in arrivals. */
    std::function<std::string (const std::string& name)> onArrival;
    std::vector<std::string> arrivals;
};

//==============================================================================
TEST_F (FileDownloadTest, EveryFileArrivesInManifestOrderOneAtATimeAndTheRunEndsDone)
{
    // Not in alphabetical order, of sizes from none to several blocks.
    const std::vector<ReleaseFile> files { makeFile ("zeta.bin", 100000), makeFile ("alpha.bin", 1),
                                           makeFile ("mid.bin", 40000), makeFile ("empty.bin", 0) };
    ASSERT_EQ (files[3].sha256(), emptySha256);

    for (const auto& file : files)
        serveFileBody (file);

    // As each request arrives, every file before it in the manifest must be complete on disk,
    // and none after it may exist yet.
    onArrival = [this, &files] (const std::string& name)
    {
        std::string problems;
        bool before = true;

        for (const auto& file : files)
        {
            const auto local = productFolder().getChildFile (file.name);

            if (file.name == name)
                before = false;
            else if (before && fileBytes (local) != file.body)
                problems += file.name + " incomplete; ";
            else if (! before && local.exists())
                problems += file.name + " started early; ";
        }

        return problems;
    };

    startServer();

    std::vector<std::string> elements;
    for (const auto& file : files)
        elements.push_back (elementFor (file));

    startRun (elements);

    ASSERT_TRUE (waitForDone()) << "status: " << label ("statusLabel") << "; " << describeOpenBoxes();

    const auto& c = component();
    EXPECT_EQ (requests(), (std::vector<std::string> { "zeta.bin", "alpha.bin", "mid.bin", "empty.bin" }));
    EXPECT_EQ (arrivals, std::vector<std::string> (4)) << "each request found the files before it complete";
    EXPECT_EQ (c.getVerifiedCount(), 4);
    EXPECT_EQ (c.getFileCount(), 4);
    EXPECT_EQ (c.getTotalBytes(), 140001);
    EXPECT_EQ (c.getProgressValue(), 1.0);
    EXPECT_EQ (label ("amountLabel"), "100%");
    EXPECT_EQ (label ("sizeLabel"), velm::sizeText (140001, 140001));

    juce::int64 sum = 0;

    for (int i = 0; i < 4; ++i)
    {
        const auto* entry = c.getFileEntry (i);
        ASSERT_NE (entry, nullptr);
        EXPECT_EQ (entry->getState(), FileState::verified) << entry->filename;
        EXPECT_EQ (entry->retryCount, 0);
        EXPECT_EQ (entry->getDownloadedBytes(), (juce::int64) files[(size_t) i].body.size());
        EXPECT_EQ (fileBytes (productFolder().getChildFile (files[(size_t) i].name)), files[(size_t) i].body);
        sum += entry->getDownloadedBytes();
    }

    EXPECT_EQ (sum, c.getTotalBytes());
    EXPECT_TRUE (productFolder().getChildFile ("empty.bin").existsAsFile());

    runFor (600);
    EXPECT_TRUE (findOpenBoxes().empty());
    EXPECT_EQ (quitsSinceStart(), 0) << "no file is marked to be run: the window stays open";
    EXPECT_EQ (requests().size(), 4u);
}

TEST_F (FileDownloadTest, FilesAlreadyCorrectAreNotRequestedAndADifferentOneIsFetchedAgain)
{
    const auto kept = makeFile ("kept.bin", 3000);
    const auto stale = makeFile ("stale.bin", 3000);
    const auto fresh = makeFile ("fresh.bin", 2000);

    for (const auto* file : { &kept, &stale, &fresh })
        serveFileBody (*file);

    startServer();

    // Present before the run: one right, one of the right size with other bytes.
    ASSERT_TRUE (productFolder().createDirectory().wasOk());
    ASSERT_TRUE (productFolder().getChildFile ("kept.bin").replaceWithData (kept.body.data(), kept.body.size()));
    const std::string wrong (stale.body.size(), 'x');
    ASSERT_TRUE (productFolder().getChildFile ("stale.bin").replaceWithData (wrong.data(), wrong.size()));

    startRun ({ elementFor (kept), elementFor (stale), elementFor (fresh) });

    ASSERT_TRUE (waitForDone()) << "status: " << label ("statusLabel") << "; " << describeOpenBoxes();
    EXPECT_EQ (requests(), (std::vector<std::string> { "stale.bin", "fresh.bin" }));
    EXPECT_EQ (component().getVerifiedCount(), 3);
    EXPECT_EQ (fileBytes (productFolder().getChildFile ("stale.bin")), stale.body);
    EXPECT_EQ (fileBytes (productFolder().getChildFile ("fresh.bin")), fresh.body);
    EXPECT_EQ (fileBytes (productFolder().getChildFile ("kept.bin")), kept.body);
    EXPECT_TRUE (findOpenBoxes().empty());
}

//==============================================================================
// Every failure of a file ends in exactly one box. Each case serves the failing file, alone or
// after a good file (whose retries and requests then come from the message thread instead of
// the manifest's worker).

enum class Failure
{
    status503OtherLength,
    status404,
    status499,
    status600,
    noContentLength,
    bodyShortOfLength,
    status503BodyBreaksOff,
    corrupted,
    upperCaseDigest,
    one503ThenCorrupted,
    emptyUrl,
    closedPort
};

struct FailureCase
{
    const char* name;
    Failure failure;
    bool afterAGoodFile;
    const char* title;          // "File Corrupted (" is completed with the file name
    std::string message;
    int requests;
    int retryCount;
    FileState recordState;
    int httpStatus;             // -1: not looked at
};

void PrintTo (const FailureCase& c, std::ostream* os)  { *os << c.name; }

class FileFailureTest : public FileDownloadTest, public testing::WithParamInterface<FailureCase> {};

TEST_P (FileFailureTest, EndsInOneBoxAndNothingMore)
{
    const auto& c = GetParam();
    const auto good = makeFile ("good.bin", 5000);
    const auto part = makeFile ("part.bin", 6000);
    const auto size = (juce::int64) part.body.size();

    if (c.afterAGoodFile)
        serveFileBody (good);

    // Bodies that an HTTP library will not send come from a socket server of the test's own.
    std::unique_ptr<ScriptedSocketServer> socketServer;
    std::optional<std::string> partUrl;   // the HTTP server's, once it serves
    std::string digest = part.sha256();

    switch (c.failure)
    {
        case Failure::status503OtherLength:
            serveFile (part.name, [size] (int attempt, httplib::Response& response)
            {
                response.status = 503;
                response.set_content (std::string ((size_t) size + 1 + (size_t) attempt * 10, 'e'), "text/plain");
            });
            break;

        case Failure::status404:
        case Failure::status499:
        case Failure::status600:
        {
            const int status = c.failure == Failure::status404 ? 404 : c.failure == Failure::status499 ? 499 : 600;
            serveFile (part.name, [status] (int, httplib::Response& response)
            {
                response.status = status;
                response.set_content ("nothing here", "text/plain");
            });
            break;
        }

        case Failure::noContentLength:
            serveFile (part.name, [body = part.body] (int, httplib::Response& response)
            {
                response.set_chunked_content_provider ("application/octet-stream", [body] (size_t, httplib::DataSink& sink)
                {
                    sink.write (body.data(), body.size());
                    sink.done();
                    return true;
                });
            });
            break;

        case Failure::bodyShortOfLength:
        case Failure::status503BodyBreaksOff:
        {
            const int status = c.failure == Failure::bodyShortOfLength ? 200 : 503;
            socketServer = std::make_unique<ScriptedSocketServer> ([status, size, body = part.body] (SocketConnection& connection)
            {
                connection.send (responseHead (status, size) + body.substr (0, body.size() / 2));
            });
            partUrl = socketServer->url ("/files/part.bin").toStdString();
            break;
        }

        case Failure::corrupted:
        case Failure::one503ThenCorrupted:
        {
            const bool first503 = c.failure == Failure::one503ThenCorrupted;
            serveFile (part.name, [first503, size] (int attempt, httplib::Response& response)
            {
                if (first503 && attempt == 0)
                {
                    response.status = 503;
                    response.set_content ("busy", "text/plain");
                    return;
                }

                response.set_content (std::string ((size_t) size, 'c'), "application/octet-stream");
            });
            break;
        }

        case Failure::upperCaseDigest:
            serveFileBody (part);
            digest = upperCase (digest);
            break;

        case Failure::emptyUrl:
            serveFileBody (part);
            partUrl = std::string();
            break;

        case Failure::closedPort:
            partUrl = "http://127.0.0.1:" + std::to_string (unusedPort()) + "/files/part.bin";
            break;
    }

    startServer();

    std::vector<std::string> elements;
    if (c.afterAGoodFile)
        elements.push_back (elementFor (good));
    elements.push_back (fileElement (partUrl.value_or (fileUrl (part.name)), part.name, (double) size, digest));

    startRun (elements);

    const auto partRequests = [&]
    {
        return socketServer != nullptr ? socketServer->connectionCount() : requestsFor (part.name);
    };

    const std::string title = std::string (c.title) == "File Corrupted (" ? "File Corrupted (" + part.name + ")" : c.title;
    expectTheOnlyBoxAndQuit (title, c.message, partRequests);

    EXPECT_EQ (partRequests(), c.requests);
    EXPECT_EQ (requestsFor (good.name), c.afterAGoodFile ? 1 : 0);

    const auto& component = window->component();
    const auto* entry = component.getFileEntry (c.afterAGoodFile ? 1 : 0);
    ASSERT_NE (entry, nullptr);
    EXPECT_EQ (entry->getState(), c.recordState);
    EXPECT_EQ (entry->retryCount, c.retryCount);
    EXPECT_EQ (entry->errorMessage.toStdString(), c.message);

    if (c.httpStatus >= 0)
    {
        EXPECT_EQ (entry->httpStatus, c.httpStatus);
    }

    EXPECT_EQ (component.getVerifiedCount(), c.afterAGoodFile ? 1 : 0);

    if (c.failure == Failure::status503OtherLength)
    {
        // At once, one after the other: no timer tick between them.
        const auto times = timesOf (part.name);
        ASSERT_EQ (times.size(), 3u);
        std::cout << "[ figures  ] three 503 requests within " << (times.back() - times.front()) << " ms" << std::endl;
        EXPECT_LT (times.back() - times.front(), 900u) << "the immediate retries waited for a timer";
    }
}

INSTANTIATE_TEST_SUITE_P (Failures, FileFailureTest, testing::Values (
    FailureCase { "Status503OtherLength",          Failure::status503OtherLength,   false, "Download Error ",  refusedMessage (503),   3, 2, FileState::httpError, 503 },
    FailureCase { "Status503OtherLengthSecond",    Failure::status503OtherLength,   true,  "Download Error ",  refusedMessage (503),   3, 2, FileState::httpError, 503 },
    FailureCase { "Status404",                     Failure::status404,              false, "Download Error ",  refusedMessage (404),   1, 0, FileState::httpError, 404 },
    FailureCase { "Status404Second",               Failure::status404,              true,  "Download Error ",  refusedMessage (404),   1, 0, FileState::httpError, 404 },
    FailureCase { "Status499",                     Failure::status499,              false, "Download Error ",  refusedMessage (499),   1, 0, FileState::httpError, 499 },
    FailureCase { "Status600",                     Failure::status600,              false, "Download Error ",  refusedMessage (600),   1, 0, FileState::httpError, 600 },
    FailureCase { "NoContentLength",               Failure::noContentLength,        false, "Download Error ",  refusedMessage (200),   1, 0, FileState::httpError, 200 },
    FailureCase { "BodyShortOfLength",             Failure::bodyShortOfLength,      false, "Download Error ",  brokenOffMessage (200), 1, 0, FileState::httpError, 200 },
    FailureCase { "Status503BodyBreaksOff",        Failure::status503BodyBreaksOff, false, "Download Error ",  brokenOffMessage (503), 3, 2, FileState::httpError, 503 },
    FailureCase { "Status503BodyBreaksOffSecond",  Failure::status503BodyBreaksOff, true,  "Download Error ",  brokenOffMessage (503), 3, 2, FileState::httpError, 503 },
    FailureCase { "Corrupted",                     Failure::corrupted,              false, "File Corrupted (", corruptedMessage,       3, 2, FileState::corrupted, -1 },
    FailureCase { "UpperCaseDigest",               Failure::upperCaseDigest,        false, "File Corrupted (", corruptedMessage,       3, 2, FileState::corrupted, -1 },
    FailureCase { "One503ThenCorrupted",           Failure::one503ThenCorrupted,    false, "File Corrupted (", corruptedMessage,       3, 2, FileState::corrupted, -1 },
    FailureCase { "EmptyUrl",                      Failure::emptyUrl,               false, "URL Error ",       urlMessage,             0, 0, FileState::urlError, -1 },
    FailureCase { "EmptyUrlSecond",                Failure::emptyUrl,               true,  "URL Error ",       urlMessage,             0, 0, FileState::urlError, -1 },
    FailureCase { "ClosedPort",                    Failure::closedPort,             false, "Connection Error ", connectionMessage,     0, 0, FileState::connectionError, -1 },
    FailureCase { "ClosedPortSecond",              Failure::closedPort,             true,  "Connection Error ", connectionMessage,     0, 0, FileState::connectionError, -1 }),
    [] (const testing::TestParamInfo<FailureCase>& failureCase) { return std::string (failureCase.param.name); });

//==============================================================================
TEST_F (FileDownloadTest, MidTransferTheWindowShowsTheBytesSoFar)
{
    // 1.5 MB of 10.0 MB, then the body stops with the connection left open. The task reports
    // the count before each block it writes, so the last block that arrived (32 KiB at most) may
    // be left out of the window's count: with these sizes the texts are the same either way.
    constexpr size_t size = 10 * 1024 * 1024, sent = 1536 * 1024;
    const auto body = bytesOf (randomBytes (sent, 15));

    ScriptedSocketServer stalling ([&] (SocketConnection& connection)
    {
        connection.send (responseHead (200, (juce::int64) size) + body);
        connection.waitForPeerClose (60000);
    });

    startServer();
    startRun ({ fileElement (stalling.url ("/files/big.bin").toStdString(), "big.bin", (double) size, std::string (64, '0')) });

    EXPECT_TRUE (runUntil ([&] { return label ("sizeLabel") == "1.5 MB of 10.0 MB"; }, 15000))
        << "size: " << label ("sizeLabel") << "; " << describeOpenBoxes();
    EXPECT_EQ (label ("statusLabel").toStdString(), "Downloading ...");
    EXPECT_EQ (label ("amountLabel").toStdString(), "15%");
}

TEST_F (FileDownloadTest, ClosingTheWindowMidTransferReturnsPromptlyAndKeepsThePartialFile)
{
    constexpr size_t size = 4 * 1024 * 1024, sent = size / 2;
    const auto body = bytesOf (randomBytes (size, 99));

    std::atomic<bool> peerClosed { false };
    ScriptedSocketServer stalling ([&] (SocketConnection& connection)
    {
        connection.send (responseHead (200, (juce::int64) size) + body.substr (0, sent));
        peerClosed = connection.waitForPeerClose (60000);
    });

    startServer();
    startRun ({ fileElement (stalling.url ("/files/big.bin").toStdString(), "big.bin", (double) size,
                             velmtest::sha256Hex (juce::MemoryBlock (body.data(), body.size()))) });

    const auto partial = productFolder().getChildFile ("big.bin");
    ASSERT_TRUE (runUntil ([&] { return partial.getSize() == (juce::int64) sent; }, 15000))
        << "only " << partial.getSize() << " bytes arrived; " << describeOpenBoxes();

    const auto started = juce::Time::getMillisecondCounter();
    window->destroyWindowOnly();
    const auto elapsed = juce::Time::getMillisecondCounter() - started;
    std::cout << "[ figures  ] closing the window mid-transfer took " << elapsed << " ms" << std::endl;

    EXPECT_LT (elapsed, 5000u);
    EXPECT_EQ (fileBytes (partial), body.substr (0, sent)) << "the partial file stays as it was written";
    EXPECT_TRUE (runUntil ([&] { return peerClosed.load(); }, 5000)) << "the transfer is cancelled";

    runFor (500);
    EXPECT_TRUE (findOpenBoxes().empty());
    EXPECT_EQ (quitsSinceStart(), 0);
    EXPECT_EQ (stalling.connectionCount(), 1);
}
