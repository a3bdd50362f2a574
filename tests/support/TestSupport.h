#pragma once

// What the in-process tests share: the real message loop, the real boxes and folder chooser on
// the X display, real HTTP servers on 127.0.0.1, real files in temporary folders, and an opener
// of the tests' own in place of xdg-open.

#include "app/DownloaderApplication.h"
#include "app/MainWindow.h"
#include "download/MainComponent.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <httplib.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmtest
{
    //==============================================================================
    /** Stands in for the program's application object: the tests' process has one, so that
        everything that asks the application to quit reaches it, and counts the requests. */
    class TestApplication : public juce::JUCEApplication
    {
    public:
        const juce::String getApplicationName() override     { return "Velm Test"; }
        const juce::String getApplicationVersion() override  { return "0"; }
        bool moreThanOneInstanceAllowed() override           { return true; }
        void initialise (const juce::String&) override       {}
        void shutdown() override                             {}
        void systemRequestedQuit() override                  { ++quitRequests; }

        static TestApplication& get()  { return *dynamic_cast<TestApplication*> (juce::JUCEApplication::getInstance()); }

        std::atomic<int> quitRequests { 0 };
    };

    //==============================================================================
    /** Runs the message loop until the condition holds or the time is up; returns the condition. */
    bool runUntil (const std::function<bool()>& condition, int timeoutMs = 10000);

    /** Runs the message loop for a while. */
    void runFor (int milliseconds);

    //==============================================================================
    /** A box of the framework that is open on the display. */
    struct OpenBox
    {
        juce::Component::SafePointer<juce::AlertWindow> window;
        juce::String title, message;
        juce::StringArray buttons;
        juce::MessageBoxIconType icon = juce::MessageBoxIconType::NoIcon;
    };

    std::vector<OpenBox> findOpenBoxes();

    /** The open boxes with their titles, messages and buttons, for the message of a failed wait:
        a run that never got where a test waited for it has usually stopped at a box that says
        why. */
    juce::String describeOpenBoxes();

    /** Waits for exactly one open box and returns it (fails the test if none comes). */
    OpenBox waitForBox (int timeoutMs = 10000);

    /** Clicks a box's button with the pointer on the X display, then waits until the box has
        gone. */
    void clickButton (const OpenBox& box, const juce::String& buttonText);

    /** Sends a key press ("Return", "Escape", ...) to the box's window on the X display and waits
        until the box has gone. */
    void pressKey (const OpenBox& box, const juce::String& keyName);

    //==============================================================================
    /** The framework's own folder chooser, open on the display. */
    struct OpenChooser
    {
        juce::Component::SafePointer<juce::FileChooserDialogBox> dialog;
        juce::String title;
        juce::File root;
    };

    OpenChooser waitForChooser (int timeoutMs = 10000);

    /** Types a folder into the chooser and presses its action button. */
    void chooseFolder (const OpenChooser& chooser, const juce::File& folder);

    /** The two halves of chooseFolder: go into the folder, and press the action button. */
    void enterFolder (const OpenChooser& chooser, const juce::File& folder);
    void pressChooserAction (const OpenChooser& chooser);

    /** Dismisses the chooser with Escape. */
    void cancelChooser (const OpenChooser& chooser);

    //==============================================================================
    /** A folder under the system's temporary folder, deleted with everything in it. */
    class TempFolder
    {
    public:
        TempFolder();
        ~TempFolder();
        const juce::File& get() const noexcept  { return folder; }
        juce::File operator/ (const juce::String& name) const  { return folder.getChildFile (name); }

    private:
        juce::File folder;
        JUCE_DECLARE_NON_COPYABLE (TempFolder)
    };

    /** Sets an environment variable, or removes it for std::nullopt, for as long as the object
        lives; the value it had comes back afterwards. */
    class ScopedEnvironmentVariable
    {
    public:
        ScopedEnvironmentVariable (const char* name, const std::optional<juce::String>& value);
        ~ScopedEnvironmentVariable();

    private:
        const char* name;
        std::optional<std::string> previous;
        JUCE_DECLARE_NON_COPYABLE (ScopedEnvironmentVariable)
    };

    juce::MemoryBlock randomBytes (size_t numBytes, juce::int64 seed);
    std::string sha256Hex (const juce::MemoryBlock& data);

    /** The bytes of a block, and of a file, as a string (for comparisons with what was served). */
    std::string bytesOf (const juce::MemoryBlock& block);
    std::string fileBytes (const juce::File& file);

    //==============================================================================
    /** An HTTP server on 127.0.0.1 with a free port, serving on a thread of its own. */
    class HttpServer
    {
    public:
        HttpServer();
        ~HttpServer();

        httplib::Server& routes() noexcept  { return server; }

        /** Starts serving; call once the routes are set. */
        void start();

        int port() const noexcept  { return boundPort; }
        juce::String url (const juce::String& path) const;

        /** How many requests reached a path, and the query texts they carried. */
        int requestCount (const std::string& path) const;
        std::vector<std::string> queries (const std::string& path) const;

        /** Serves a fixed body with a status, under a path. */
        void serve (const std::string& path, int status, const std::string& body,
                    const std::string& contentType = "application/octet-stream");

    private:
        void record (const httplib::Request&);

        httplib::Server server;
        std::thread thread;
        int boundPort = -1;
        mutable std::mutex mutex;
        std::map<std::string, std::vector<std::string>> requests;
    };

    //==============================================================================
    /** Puts an xdg-open of the tests' own first on PATH; it records each text it is asked to
        open, one per line. */
    class FakeOpener
    {
    public:
        FakeOpener();
        ~FakeOpener();

        juce::StringArray opened() const;

        /** Waits until at least n texts have been opened and returns them; when the time is up
            first, it fails the test, naming the boxes that are open, and returns what there is. */
        juce::StringArray waitForOpened (int n, int timeoutMs = 5000) const;

    private:
        TempFolder folder;
        juce::File log;
        juce::String previousPath;
        JUCE_DECLARE_NON_COPYABLE (FakeOpener)
    };

    //==============================================================================
    /** Captures what the process writes to standard output while it lives. */
    class StdoutCapture
    {
    public:
        StdoutCapture();
        ~StdoutCapture();
        juce::String text();

    private:
        TempFolder folder;
        juce::File file;
        int savedFd = -1;
        JUCE_DECLARE_NON_COPYABLE (StdoutCapture)
    };

    //==============================================================================
    /** A configuration object as the application would hold it. */
    juce::var makeConfig (const juce::String& productName, const juce::String& manifestUrl,
                          const juce::String& coloursJson = "{}");

    /** A product name that no other test uses, so that the manifest copies in the temporary
        folder never collide. */
    juce::String uniqueProductName (const juce::String& hint);

    /** The program's real main window, built as the application builds it. */
    class WindowUnderTest
    {
    public:
        WindowUnderTest (const juce::String& productName, const juce::var& config);
        ~WindowUnderTest();

        velmDownloaderApplication::MainWindow& window()  { return *mainWindow; }
        MainComponent& component();

        /** Closes the window the way the application does after a quit request, and closes the
            boxes that the run left open. */
        void close();

        /** Deletes the window alone, leaving its boxes open. */
        void destroyWindowOnly();

    private:
        juce::var config;
        std::unique_ptr<velmDownloaderApplication::MainWindow> mainWindow;
    };

    /** A manifest element as a JSON object text. */
    std::string fileElement (const std::string& url, const std::string& filename, double filesize,
                             const std::string& sha256, bool runAfterDownload = false);

    //==============================================================================
    /** Tells the framework that keys are up again. The key that closes a box is often released
        only once the box's window has gone, so the framework never hears of the release and takes
        the key as held down; the next box whose button has that key as its shortcut then presses
        itself; and a key tool that fails halfway leaves the key down on the display too, which
        then tells the framework so again at every change of focus. Call it right after a box was
        closed from the keyboard, while no other box is open: the keys are released on the
        display and sent up to a window of this process that is still showing. */
    void releaseKeys (const juce::StringArray& keyNames = { "Return", "Escape" });

    /** Answers the first download-location question with "Custom" and chooses the folder in the
        chooser, so that the run downloads there instead of into the program's folder. */
    void startRunInFolder (const juce::File& folder);

    /** The text of a label of the window's content, found by its component name ("statusLabel",
        "sizeLabel", ...); empty when there is no such label. */
    juce::String labelText (juce::Component& content, const juce::String& labelName);

    /** A port on 127.0.0.1 on which nothing listens: the system picks a free one for a socket
        that is then closed again. */
    int unusedPort();

    //==============================================================================
    /** One connection of a ScriptedSocketServer: the request head has been read, and the script
        answers with whatever bytes it likes, as slowly or as brokenly as it likes. */
    class SocketConnection
    {
    public:
        int index = 0;        // 0 for the server's first connection, then 1, 2, ...
        std::string head;     // the request line and headers, up to the blank line
        std::string path;     // the request target's path, without the query

        /** Sends all of the bytes; false when the peer has gone. */
        bool send (const std::string& bytes);

        /** Waits until the peer closes (or resets) the connection, the server is being destroyed,
            or the time is up; true only when the peer ended it. What the peer sends meanwhile is
            read and dropped. */
        bool waitForPeerClose (int timeoutMs);

        /** Ends the connection with a reset (TCP RST) instead of an orderly close. */
        void reset();

        juce::int64 bytesSent() const noexcept  { return sent; }

    private:
        friend class ScriptedSocketServer;
        int fd = -1;
        juce::int64 sent = 0;
        const std::atomic<bool>* stopping = nullptr;
    };

    /** A TCP server on 127.0.0.1 whose every connection runs a script of the test's own on a
        thread of its own: for answers that an HTTP library does not give, such as a body that
        stalls half-way without closing, or a reset in mid-body. After the script returns the
        connection is closed in order (unless the script reset it). The destructor stops
        accepting, wakes every script that waits for its peer, and joins them. */
    class ScriptedSocketServer
    {
    public:
        using Script = std::function<void (SocketConnection&)>;

        explicit ScriptedSocketServer (Script script);
        ~ScriptedSocketServer();

        int port() const noexcept  { return boundPort; }
        juce::String url (const juce::String& path) const;

        /** How many connections have been accepted, and the paths they asked for, in order. */
        int connectionCount() const;
        std::vector<std::string> paths() const;

    private:
        void acceptLoop();

        const Script script;
        int listener = -1;
        int boundPort = -1;
        std::atomic<bool> stopping { false };
        mutable std::mutex mutex;
        std::vector<std::string> requestedPaths;
        std::vector<std::thread> connectionThreads;
        std::thread thread;
        JUCE_DECLARE_NON_COPYABLE (ScriptedSocketServer)
    };
}
