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

    /** Waits for exactly one open box and returns it (fails the test if none comes). */
    OpenBox waitForBox (int timeoutMs = 10000);

    /** Presses a box's button from the keyboard on the X display (Return for the first, Escape
        for the last), then waits until the box has gone. */
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

    juce::MemoryBlock randomBytes (size_t numBytes, juce::int64 seed);
    std::string sha256Hex (const juce::MemoryBlock& data);

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

        /** Waits until at least n texts have been opened (or the time is up) and returns them. */
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
}
