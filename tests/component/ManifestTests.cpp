// The manifest stage of a run in the real window: the request, every answer the server can give,
// the boxes that report them and the page that an outdated downloader is sent to.

#include "download/ManifestReading.h"
#include "tests/component/RunFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

using namespace velmtest;

namespace
{
    const juce::String support = "support@velm.example";
    const juce::String jsonResponseInvalid = "JSON response invalid. Please try again or contact velm support for help: " + support;
    const juce::String outdatedMessage = "The current downloader is outdated. Please download a new downloader from the velm Website";

    /** What the run wrote to standard output; the capture ends here, so that what the tests
        report afterwards reaches the terminal. */
    juce::String endCapture (std::unique_ptr<StdoutCapture>& capture)
    {
        const auto text = capture->text();
        capture.reset();
        return text;
    }

    juce::MessageBoxIconType iconOf (const OpenBox& box)
    {
        return box.window == nullptr ? juce::MessageBoxIconType::NoIcon : box.window->getAlertType();
    }

    /** A JSON text with one string value, escaped as JSON needs it. */
    std::string jsonText (const juce::String& text)
    {
        return juce::JSON::toString (juce::var (text)).toStdString();
    }

    std::string outdatedManifest (const juce::var& page)
    {
        auto* object = new juce::DynamicObject();
        object->setProperty ("code", "web_installer_outdated");

        if (! page.isVoid())
            object->setProperty ("web_installer_url", page);

        // A "files" list that would make records if the answer were not recognised.
        object->setProperty ("files", juce::JSON::parse (R"([{"url":"{{server}}/files/a.bin","filename":"a.bin","filesize":4}])"));
        return juce::JSON::toString (juce::var (object), true).toStdString();
    }
}

//==============================================================================
class ManifestRequestTest : public RunFixture
{
protected:
    /** Checks the box of a manifest error, what went to standard output, and that closing it
        with the button given asks once to quit. */
    void expectManifestErrorBox (const juce::String& title, const juce::String& message,
                                 std::unique_ptr<StdoutCapture>& capture, const juce::String& button = "Cancel")
    {
        const auto box = waitForBox();
        EXPECT_EQ (endCapture (capture), message) << "the message, with no line break, is written to standard output";
        EXPECT_EQ (box.title, title);
        EXPECT_EQ (box.message, message);
        EXPECT_EQ (iconOf (box), juce::MessageBoxIconType::WarningIcon);
        EXPECT_EQ (box.buttons, juce::StringArray ({ "OK", "Cancel" }));
        EXPECT_EQ (quitsSinceStart(), 0) << "nothing quits before the box is closed";

        press (box, button);
        EXPECT_TRUE (runUntil ([&] { return quitsSinceStart() > 0; }, 2000));
        runFor (100);
        EXPECT_EQ (quitsSinceStart(), 1);
        EXPECT_TRUE (findOpenBoxes().empty());
    }

    /** Checks a common error box with its one button, closes it and expects one quit. */
    void expectCommonErrorBox (const OpenBox& box, const juce::String& title, const juce::String& message)
    {
        EXPECT_EQ (box.title, title);
        EXPECT_EQ (box.message, message);
        EXPECT_EQ (iconOf (box), juce::MessageBoxIconType::InfoIcon);
        EXPECT_EQ (box.buttons, juce::StringArray ({ "Cancel" }));
        EXPECT_EQ (quitsSinceStart(), 0);

        press (box, "Cancel");
        EXPECT_TRUE (runUntil ([&] { return quitsSinceStart() > 0; }, 2000));
        runFor (100);
        EXPECT_EQ (quitsSinceStart(), 1);
        EXPECT_TRUE (findOpenBoxes().empty()) << "exactly one box reports the failure";
    }
};

TEST_F (ManifestRequestTest, TheCopyIsTheProductNameAndDownloaderJsonDirectlyInTheTemporaryFolder)
{
    const std::string manifest = R"({"files":[]})";
    const auto expected = juce::File (juce::String (getenv ("TMPDIR")) + "/" + productName + "Downloader.json");
    ASSERT_FALSE (expected.exists());

    runWithManifest (manifest);
    ASSERT_TRUE (waitForDone());

    EXPECT_TRUE (expected.existsAsFile());
    EXPECT_EQ (expected.loadFileAsString(), juce::String (manifest)) << "the copy is the answer as it came";

    // The copy stays after the run.
    window.reset();
    EXPECT_TRUE (expected.existsAsFile());
    expected.deleteFile();
}

TEST_F (ManifestRequestTest, AFolderAtTheCopysPathStaysAndNoRequestIsMade)
{
    // A folder with something in it cannot be replaced by the copy; the request is never sent
    // and the run ends in the box for an answer that never came.
    ASSERT_TRUE (manifestCopy().createDirectory());
    ASSERT_TRUE (manifestCopy().getChildFile ("keep.txt").replaceWithText ("kept"));

    runWithManifest (R"({"files":[]})");
    expectCommonErrorBox (waitForBox(), "Connection Error ", "Could not connect to server");

    EXPECT_TRUE (manifestCopy().isDirectory());
    EXPECT_EQ (manifestCopy().getChildFile ("keep.txt").loadFileAsString(), "kept");
    EXPECT_EQ (server.requestCount ("/meta"), 0);
    EXPECT_FALSE (productFolder().exists());
    manifestCopy().deleteRecursively();
}

TEST_F (ManifestRequestTest, AnEmptyFolderAtTheCopysPathGivesWayToTheCopy)
{
    // The run leaves the folder alone; the download removes an empty one before it writes the
    // copy, as the framework's own download does.
    ASSERT_TRUE (manifestCopy().createDirectory());

    runWithManifest (R"({"files":[]})");
    ASSERT_TRUE (waitForDone());

    EXPECT_TRUE (manifestCopy().existsAsFile());
    EXPECT_EQ (server.requestCount ("/meta"), 1);
    manifestCopy().deleteFile();
}

TEST_F (ManifestRequestTest, AnEmptyAddressShowsTheUrlErrorAtOnceAndStillDeletesAnOldCopy)
{
    ASSERT_TRUE (manifestCopy().replaceWithText ("old copy"));
    auto capture = std::make_unique<StdoutCapture>();

    openWindow ("");
    press (waitForBox(), "Default");

    EXPECT_TRUE (runUntil ([&] { return ! manifestCopy().exists(); }, 2000)) << "the old copy is deleted";
    EXPECT_FALSE (component().isTimerRunning (-2)) << "no state timer for a run that cannot start";
    EXPECT_FALSE (component().isTimerRunning (-1));
    EXPECT_EQ (component().getState(), DownloaderState::idle);

    const auto box = waitForBox (2000);
    EXPECT_EQ (endCapture (capture), "") << "only the manifest-error box writes its message out";
    expectCommonErrorBox (box, "URL Error", "JSON URL is empty. Please contact velm support for help: " + support);
    EXPECT_FALSE (manifestCopy().exists());
}

TEST_F (ManifestRequestTest, AnAddressThatBeginsWithAQueryIsAManifestError)
{
    ASSERT_TRUE (manifestCopy().replaceWithText ("old copy"));
    auto capture = std::make_unique<StdoutCapture>();

    openWindow ("?file=meta");
    startRunInFolder (base.get());

    expectManifestErrorBox ("URL Error", "JSON URL is empty or not correct. Please contact velm support for help: " + support, capture);
    EXPECT_FALSE (manifestCopy().exists()) << "the old copy is deleted before the address is looked at";
    EXPECT_FALSE (productFolder().exists());
}

//==============================================================================
// The version parameter: alone, or after the address's own parameters, in their order.

class ManifestQueryTest : public RunFixture,
                          public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P (ManifestQueryTest, TheVersionParameterComesLast)
{
    const auto [suffix, expectedQuery] = GetParam();

    serveManifest (R"({"files":[]})");
    openWindow (server.url ("/meta") + suffix);
    startRunInFolder (base.get());
    ASSERT_TRUE (waitForDone());

    EXPECT_EQ (server.queries ("/meta"), std::vector<std::string> { expectedQuery });
}

INSTANTIATE_TEST_SUITE_P (Addresses, ManifestQueryTest, testing::Values (
    std::make_pair ("",                          "web_installer_version=1"),
    std::make_pair ("?channel=beta",             "channel=beta&web_installer_version=1"),
    std::make_pair ("?b=2&a=1&c=3",              "b=2&a=1&c=3&web_installer_version=1"),
    std::make_pair ("?flag",                     "flag&web_installer_version=1"),
    std::make_pair ("?name=a%20b",               "name=a%20b&web_installer_version=1"),
    std::make_pair ("?web_installer_version=7",  "web_installer_version=7&web_installer_version=1")));

//==============================================================================
// Every answer the server can give to the manifest request, and how the run takes it.

struct ManifestAnswer
{
    const char* name;
    int status;
    std::string body;
    const char* contentType;
    juce::String title;     // empty: the answer is a good manifest and the run completes
    juce::String message;
    bool productFolderMade;
    const char* button;     // pressed to close the box
};

void PrintTo (const ManifestAnswer& answer, std::ostream* os)  { *os << answer.name; }

class ManifestAnswerTest : public RunFixture,
                           public testing::WithParamInterface<ManifestAnswer> {};

TEST_P (ManifestAnswerTest, IsReportedOrReadAsTheTableSays)
{
    const auto& answer = GetParam();
    const auto file = randomBytes (3000, 42);
    server.serve ("/files/a.bin", 200, std::string ((const char*) file.getData(), file.getSize()));

    auto capture = std::make_unique<StdoutCapture>();
    runWithManifest (juce::String (answer.body).replace ("@SHA@", sha256Hex (file)).toStdString(),
                     answer.status, answer.contentType);

    if (answer.title.isEmpty())
    {
        const auto done = waitForDone();
        EXPECT_EQ (endCapture (capture), "");
        ASSERT_TRUE (done) << "status: " << label ("statusLabel");
        EXPECT_TRUE (findOpenBoxes().empty());
        EXPECT_EQ (component().getFileCount(), component().getVerifiedCount());
        EXPECT_EQ (quitsSinceStart(), 0);
    }
    else
    {
        const auto box = waitForBox();
        EXPECT_EQ (endCapture (capture), answer.message) << "the message, with no line break, goes to standard output";
        EXPECT_EQ (box.title, answer.title);
        EXPECT_EQ (box.message, answer.message);
        EXPECT_EQ (iconOf (box), juce::MessageBoxIconType::WarningIcon);
        EXPECT_EQ (box.buttons, juce::StringArray ({ "OK", "Cancel" }));

        EXPECT_EQ (component().getFileCount(), 0) << "no record is made";
        EXPECT_EQ (server.requestCount ("/files/a.bin"), 0) << "nothing is downloaded";
        EXPECT_EQ (quitsSinceStart(), 0);

        press (box, answer.button);
        EXPECT_TRUE (runUntil ([&] { return quitsSinceStart() > 0; }, 2000));
        runFor (300);
        EXPECT_EQ (quitsSinceStart(), 1) << "closing the box asks once to quit";
        EXPECT_TRUE (findOpenBoxes().empty());
        EXPECT_TRUE (opener.opened().isEmpty()) << "no page to open";
    }

    EXPECT_EQ (productFolder().isDirectory(), answer.productFolderMade);

    // Nothing lands outside the product folder, whatever the names said.
    auto entries = base.get().findChildFiles (juce::File::findFilesAndDirectories, false, "*");
    EXPECT_LE (entries.size(), 1);

    if (answer.title.isNotEmpty() && productFolder().isDirectory())
    {
        EXPECT_EQ (productFolder().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    }
}

namespace
{
    const juce::String invalid200 = "JSON file invalid Error Code: 200. Please try again or contact velm support for help: " + support;

    const std::string goodFile = R"({"url":"{{server}}/files/a.bin","filename":"a.bin","filesize":3000,"checksum_sha256":"@SHA@"})";

    /** A manifest whose second element has the name given (a JSON string text). */
    std::string withSecondName (const std::string& nameJson)
    {
        return R"({"files":[)" + goodFile + R"(,{"url":"{{server}}/files/a.bin","filename":)" + nameJson
             + R"(,"filesize":3000,"checksum_sha256":"@SHA@"}]})";
    }

    ManifestAnswer jsonInvalid (const char* name, std::string body, bool folderMade, const char* button)
    {
        return { name, 200, std::move (body), "application/json", "JSON Error", jsonResponseInvalid, folderMade, button };
    }

    std::vector<ManifestAnswer> manifestAnswers()
    {
        std::vector<ManifestAnswer> answers {
            { "EmptyBody",           200, "",                       "application/json", "JSON Error", invalid200, false, "OK" },
            { "NotJson",             200, "this is not json {",     "text/plain",       "JSON Error", invalid200, false, "Cancel" },
            { "TopLevelArray",       200, R"([{"files":[]}])",      "application/json", "JSON Error", invalid200, false, "OK" },
            { "TopLevelNumber",      200, "42",                     "application/json", "JSON Error", invalid200, false, "Cancel" },
            { "HtmlPage404",         404, "<html><body>Not found</body></html>", "text/html",
                                     "Server Error", "Server responded with error code: 404", false, "OK" },
            { "EmptyBody503",        503, "",                       "text/plain",
                                     "Server Error", "Server responded with error code: 503", false, "Cancel" },
            { "JsonObjectWith500",   500, R"({"files":[)" + goodFile + "]}", "application/json", "", "", true, "" },
            { "JsonObjectWith404",   404, R"({"files":[]})",        "application/json", "", "", true, "" },
            { "Outdated",            200, R"({"code":"web_installer_outdated","web_installer_url":"http://127.0.0.1:9/new","files":[)" + goodFile + "]}",
                                     "application/json", "Downloader Outdated", outdatedMessage, false, "Cancel" },
            jsonInvalid ("CodeInOtherCase",     R"({"code":"Web_Installer_Outdated","web_installer_url":"http://127.0.0.1:9/new","files":[)" + goodFile + "]}", false, "OK"),
            jsonInvalid ("OtherCode",           R"({"code":"maintenance","files":[)" + goodFile + "]}", false, "Cancel"),
            jsonInvalid ("NullCode",            R"({"code":null,"files":[)" + goodFile + "]}", false, "OK"),
            jsonInvalid ("NoCodeNoFiles",       R"({"sku":"x","version":"1"})", true, "Cancel"),
            jsonInvalid ("FilesInOtherCase",    R"({"Files":[)" + goodFile + "]}", true, "OK"),
            jsonInvalid ("FilesObject",         R"({"files":{"a":1}})", true, "Cancel"),
            jsonInvalid ("FilesString",         R"({"files":"a.bin"})", true, "OK"),
            jsonInvalid ("FilesNumber",         R"({"files":3})", true, "Cancel"),
            jsonInvalid ("FilesNull",           R"({"files":null})", true, "OK"),

            // However deep a server nests its answer, it is either read or refused, never a crash.
            { "TwoMillionOpenBrackets", 200, std::string (2000000, '['), "application/json", "JSON Error", invalid200, false, "Cancel" },
            { "FilesAMillionDeep",      200, R"({"files":)" + std::string (1000000, '[') + std::string (1000000, ']') + "}",
                                        "application/json", "JSON Error", invalid200, false, "OK" },
            { "NestedToTheBound",       200, R"({"files":[)" + goodFile + R"(],"sku":)" + std::string (511, '[') + std::string (511, ']') + "}",
                                        "application/json", "", "", true, "" },

            // A minus sign without a digit hides the character after it from the parser: the
            // bracket that seems to close, or the end of the text.
            { "MinusBeforeACloser",     200, "[-]," + std::string (1000000, '['), "application/json", "JSON Error", invalid200, false, "Cancel" },
            { "MinusBeforeACloserInObject", 200, R"({"a":-},"b":)" + std::string (1000000, '['),
                                        "application/json", "JSON Error", invalid200, false, "OK" },
            { "MinusAtTheEnd",          200, "[-",                     "application/json", "JSON Error", invalid200, false, "Cancel" },

            // A UTF-8 byte-order mark is skipped, also when nothing follows it.
            { "ByteOrderMarkAlone",     200, "\xef\xbb\xbf",         "application/json", "JSON Error", invalid200, false, "OK" },
            { "ByteOrderMarkAndAManifest", 200, "\xef\xbb\xbf" R"({"files":[)" + goodFile + "]}", "application/json", "", "", true, "" },
        };

        // File names that would write outside the product folder make the whole manifest unusable.
        const std::pair<const char*, std::string> unsafeNames[] = {
            { "EmptyName",        jsonText ("") },
            { "Dot",              jsonText (".") },
            { "DotDot",           jsonText ("..") },
            { "AbsolutePath",     jsonText ("/etc/x") },
            { "Parent",           jsonText ("../x") },
            { "Slash",            jsonText ("a/b") },
            { "Backslash",        jsonText ("a\\b") },
            { "ControlCharacter", R"("a\u0001b")" },
            { "Delete",           R"("a\u007fb")" },
            { "LineBreak",        R"("a\nb")" },
        };

        bool ok = true;
        for (const auto& [name, nameJson] : unsafeNames)
        {
            answers.push_back (jsonInvalid (name, withSecondName (nameJson), true, ok ? "OK" : "Cancel"));
            ok = ! ok;
        }

        return answers;
    }
}

INSTANTIATE_TEST_SUITE_P (Answers, ManifestAnswerTest, testing::ValuesIn (manifestAnswers()),
                          [] (const testing::TestParamInfo<ManifestAnswer>& p) { return std::string (p.param.name); });

//==============================================================================
// The outdated downloader's box: which page "OK" opens, and that nothing else is ever run.

struct OutdatedPage
{
    const char* name;
    juce::var page;                 // void: no "web_installer_url" at all
    const char* button;
    bool opened;                    // whether the page, as given, reaches the opener
};

void PrintTo (const OutdatedPage& page, std::ostream* os)  { *os << page.name; }

class OutdatedPageTest : public RunFixture,
                         public testing::WithParamInterface<OutdatedPage> {};

TEST_P (OutdatedPageTest, OkOpensOnlyAWebPageAndBothButtonsQuit)
{
    const auto& param = GetParam();
    TempFolder markers;
    const auto marker = markers / "ran";
    const auto page = param.page.isString() ? juce::var (param.page.toString().replace ("@MARKER@", marker.getFullPathName()))
                                            : param.page;

    auto capture = std::make_unique<StdoutCapture>();
    runWithManifest (outdatedManifest (page));

    const auto box = waitForBox();
    EXPECT_EQ (endCapture (capture), outdatedMessage);
    EXPECT_EQ (box.title, "Downloader Outdated");
    EXPECT_EQ (box.message, outdatedMessage);
    EXPECT_EQ (box.buttons, juce::StringArray ({ "OK", "Cancel" }));

    press (box, param.button);
    EXPECT_TRUE (runUntil ([&] { return quitsSinceStart() > 0; }, 2000));

    if (param.opened)
    {
        EXPECT_EQ (opener.waitForOpened (1), juce::StringArray (page.toString()));
    }
    else
    {
        runFor (500);
    }

    EXPECT_EQ (quitsSinceStart(), 1);
    runFor (200);

    if (! param.opened)
    {
        EXPECT_TRUE (opener.opened().isEmpty()) << opener.opened().joinIntoString ("\n");
    }

    EXPECT_EQ (opener.opened().size(), param.opened ? 1 : 0) << "one argument, on one line";
    EXPECT_FALSE (marker.exists()) << "no shell ever saw the page";
    EXPECT_FALSE (productFolder().exists());
    EXPECT_EQ (component().getFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P (Pages, OutdatedPageTest, testing::Values (
    OutdatedPage { "Http",                 "http://127.0.0.1:9/new-downloader",             "OK",     true },
    OutdatedPage { "HttpsInCapitals",      "HTTPS://127.0.0.1:9/new-downloader",            "OK",     true },
    OutdatedPage { "WithPlainQuery",       "http://127.0.0.1:9/get?os=linux&from=1.0",     "OK",     true },
    OutdatedPage { "ShellTextInThePath",   "http://127.0.0.1:9/$(touch @MARKER@)/`touch @MARKER@`/'q'\"q\";touch @MARKER@",
                                                                                           "OK",     true },
    OutdatedPage { "CancelOpensNothing",   "http://127.0.0.1:9/new-downloader",             "Cancel", false },
    OutdatedPage { "NoPage",               juce::var(),                                     "OK",     false },
    OutdatedPage { "EmptyPage",            "",                                              "OK",     false },
    OutdatedPage { "LocalFile",            "file:///etc/passwd",                            "OK",     false },
    OutdatedPage { "Script",               "javascript:x",                                  "OK",     false },
    OutdatedPage { "ShellCommand",         "$(touch @MARKER@)",                             "OK",     false },
    OutdatedPage { "Ftp",                  "ftp://127.0.0.1:9/new-downloader",              "OK",     false },
    OutdatedPage { "PageAsANumber",        42,                                              "OK",     false }),
    [] (const testing::TestParamInfo<OutdatedPage>& p) { return std::string (p.param.name); });

TEST_F (ManifestRequestTest, ShellTextInThePagesQueryReachesTheOpenerAsOneEscapedAddress)
{
    // The query is handed on in the framework's address form, its parameters escaped; decoded,
    // they are the texts the manifest gave, and no shell ran any of them.
    TempFolder markers;
    const auto marker = markers / "ran";
    const juce::String quoted = "'it''s' \"q\" ; touch " + marker.getFullPathName();
    const juce::String substituted = "$(touch " + marker.getFullPathName() + ")";
    const juce::String backticks = "`touch " + marker.getFullPathName() + "`";
    const auto page = "http://127.0.0.1:9/new?a=" + juce::URL::addEscapeChars (quoted, true)
                    + "&b=" + substituted + "&c=" + backticks;

    runWithManifest (outdatedManifest (page));
    press (waitForBox(), "OK");

    const auto opened = opener.waitForOpened (1);
    ASSERT_EQ (opened.size(), 1);
    EXPECT_TRUE (opened[0].startsWith ("http://127.0.0.1:9/new?a="));
    EXPECT_FALSE (opened[0].containsAnyOf ("$`'\" ;")) << opened[0];

    const juce::URL received (opened[0]);
    EXPECT_EQ (received.getParameterNames(), juce::StringArray::fromTokens ("a b c", false));
    const juce::String expectedValues[] = { quoted, substituted, backticks };
    EXPECT_EQ (received.getParameterValues(), juce::StringArray (expectedValues, 3));

    runFor (300);
    EXPECT_FALSE (marker.exists());
    EXPECT_EQ (quitsSinceStart(), 1);
}

//==============================================================================
// Answers that never arrive whole.

TEST_F (ManifestRequestTest, NothingListeningEndsInOneConnectionErrorBox)
{
    auto capture = std::make_unique<StdoutCapture>();
    openWindow ("http://127.0.0.1:" + juce::String (unusedPort()) + "/meta");
    startRunInFolder (base.get());

    const auto box = waitForBox();
    EXPECT_EQ (endCapture (capture), "");
    expectCommonErrorBox (box, "Connection Error ", "Could not connect to server");
    EXPECT_FALSE (productFolder().exists());
    EXPECT_FALSE (component().isTimerRunning (-2));
}

TEST_F (ManifestRequestTest, AnAnswerThatBreaksOffEndsInOneDownloadErrorBox)
{
    ScriptedSocketServer broken ([] (SocketConnection& connection)
    {
        connection.send ("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n"
                         "Connection: close\r\n\r\n{\"files\":[");
    });
    auto capture = std::make_unique<StdoutCapture>();
    openWindow (broken.url ("/meta"));
    startRunInFolder (base.get());

    const auto box = waitForBox();
    EXPECT_EQ (endCapture (capture), "");
    expectCommonErrorBox (box, "Download Error ", "An error occured during download Code: 200. \n"
                                                  "Please try again or contact velm support for help: " + support);
    EXPECT_EQ (broken.connectionCount(), 1);
    EXPECT_FALSE (productFolder().exists());
    EXPECT_FALSE (component().isTimerRunning (-2));
    EXPECT_EQ (component().getFileCount(), 0);
}

//==============================================================================
// An answer longer than any manifest is cut off at the bound, announced or not: nothing past it
// is written, nothing of it is read, and the run reports a transfer that broke off. Read whole,
// either answer would be a good, empty release.

class ManifestBoundTest : public ManifestRequestTest,
                          public testing::WithParamInterface<bool> {};

TEST_P (ManifestBoundTest, AnAnswerPastTheBoundEndsInOneDownloadErrorBox)
{
    constexpr auto bound = velm::maxManifestBytes;
    const bool announced = GetParam();
    const juce::int64 bodySize = announced ? bound + 1 : 2 * bound;
    std::atomic<bool> wholeBodySent { false };

    std::optional<ScriptedSocketServer> longAnswer;
    longAnswer.emplace ([&] (SocketConnection& connection)
    {
        const std::string opening = R"({"files":[])", closing = "}", chunk (1 << 20, ' ');
        auto blanks = bodySize - (juce::int64) (opening.size() + closing.size());

        bool open = connection.send ("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                                     + (announced ? "Content-Length: " + std::to_string (bodySize) + "\r\n" : std::string())
                                     + "\r\n" + opening);

        while (open && blanks > 0)
        {
            const auto n = (size_t) juce::jmin (blanks, (juce::int64) chunk.size());
            open = connection.send (n == chunk.size() ? chunk : chunk.substr (0, n));
            blanks -= (juce::int64) n;
        }

        wholeBodySent = open && connection.send (closing);
    });

    openWindow (longAnswer->url ("/meta"));
    startRunInFolder (base.get());

    expectCommonErrorBox (waitForBox (20000), "Download Error ", "An error occured during download Code: 200. \n"
                                                                 "Please try again or contact velm support for help: " + support);
    EXPECT_LE (manifestCopy().getSize(), bound) << "nothing past the bound is written";

    if (announced)
    {
        EXPECT_EQ (manifestCopy().getSize(), 0) << "an announced length past the bound is refused before the body";
    }

    longAnswer.reset();
    EXPECT_FALSE (wholeBodySent) << "the transfer stopped";
    EXPECT_FALSE (productFolder().exists());
    EXPECT_EQ (component().getFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P (Lengths, ManifestBoundTest, testing::Values (true, false),
                          [] (const testing::TestParamInfo<bool>& p) { return p.param ? "Announced" : "EndlessWithoutLength"; });

//==============================================================================
// A manifest that is complete before the request has returned is still taken for the manifest.

TEST (InstantManifest, IsRecognisedInEveryRun)
{
    HttpServer server;
    server.serve ("/meta", 200, R"({"files":[]})", "application/json");
    server.start();
    TempFolder base;

    for (int run = 0; run < 20; ++run)
    {
        SCOPED_TRACE ("run " + std::to_string (run));
        const auto productName = uniqueProductName ("Instant");

        {
            WindowUnderTest window (productName, makeConfig (productName, server.url ("/meta")));
            startRunInFolder (base.get());

            EXPECT_TRUE (runUntil ([&] { return labelText (window.component(), "statusLabel") == "Download done ..."; }))
                << "status: " << labelText (window.component(), "statusLabel") << "; " << describeOpenBoxes();
            EXPECT_TRUE (findOpenBoxes().empty());
        }

        EXPECT_EQ (server.requestCount ("/meta"), run + 1);
        juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile (productName + "Downloader.json").deleteFile();
    }
}
