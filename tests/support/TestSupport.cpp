#include "tests/support/TestSupport.h"

#include "download/FileDigest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmtest
{
    //==============================================================================
    bool runUntil (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

        while (! condition())
        {
            if (juce::Time::getMillisecondCounter() >= end)
                return condition();

            juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
        }

        return true;
    }

    void runFor (int milliseconds)
    {
        runUntil ([] { return false; }, milliseconds);
    }

    //==============================================================================
    namespace
    {
        template <typename Type>
        void collectChildren (juce::Component& parent, std::vector<Type*>& found)
        {
            for (auto* child : parent.getChildren())
            {
                if (auto* match = dynamic_cast<Type*> (child))
                    found.push_back (match);

                collectChildren (*child, found);
            }
        }

        template <typename Type>
        std::vector<Type*> childrenOfType (juce::Component& parent)
        {
            std::vector<Type*> found;
            collectChildren (parent, found);
            return found;
        }

        juce::TextButton* findButton (juce::Component& parent, const juce::String& text)
        {
            for (auto* button : childrenOfType<juce::TextButton> (parent))
                if (button->getButtonText() == text)
                    return button;

            return nullptr;
        }

        juce::String windowId (juce::Component& c)
        {
            auto* peer = c.getPeer();
            return peer == nullptr ? juce::String() : juce::String ((juce::pointer_sized_uint) peer->getNativeHandle());
        }

        /** Runs an X tool while the message loop goes on, so that the events it sends are taken. */
        void runXTool (const juce::StringArray& arguments, bool mustSucceed = true)
        {
            juce::ChildProcess tool;
            ASSERT_TRUE (tool.start (arguments, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
                << arguments.joinIntoString (" ");
            ASSERT_TRUE (runUntil ([&] { return ! tool.isRunning(); }, 10000)) << arguments.joinIntoString (" ");
            if (mustSucceed)
            {
                EXPECT_EQ (tool.getExitCode(), 0u) << arguments.joinIntoString (" ") << ": " << tool.readAllProcessOutput();
            }
        }

        /** Waits until the X server shows the component's window, so that input sent to it by
            another client can reach it. */
        void waitUntilViewable (juce::Component& c)
        {
            auto* topLevel = c.getTopLevelComponent();
            const auto id = windowId (*topLevel);
            ASSERT_TRUE (id.isNotEmpty()) << "the window has no peer";

            // Mapped, and where the framework believes it is: a click aimed from the framework's
            // coordinates must land on what it aims at.
            juce::String lastInfo;
            const bool viewable = runUntil ([&]
            {
                juce::ChildProcess info;

                if (! info.start (juce::StringArray { "xwininfo", "-id", id }))
                    return false;

                lastInfo = info.readAllProcessOutput();
                const auto position = topLevel->getScreenPosition();

                return lastInfo.contains ("Map State: IsViewable")
                    && lastInfo.contains ("Absolute upper-left X:  " + juce::String (position.x) + "\n")
                    && lastInfo.contains ("Absolute upper-left Y:  " + juce::String (position.y) + "\n");
            }, 5000);

            ASSERT_TRUE (viewable) << "window " << id << " never showed where it should be:\n" << lastInfo;

            // Let the framework take the mapping and focus events that came with it.
            runFor (50);
        }

    }

    std::vector<OpenBox> findOpenBoxes()
    {
        std::vector<OpenBox> boxes;
        auto& desktop = juce::Desktop::getInstance();

        for (int i = 0; i < desktop.getNumComponents(); ++i)
        {
            if (auto* window = dynamic_cast<juce::AlertWindow*> (desktop.getComponent (i)))
            {
                if (! window->isShowing())
                    continue;

                OpenBox box;
                box.window = window;
                box.title = window->getName();
                // The framework describes a box as its title, ". " and its message.
                box.message = window->getDescription().fromFirstOccurrenceOf (box.title + ". ", false, false);
                box.icon = window->getAlertType();

                for (auto* button : childrenOfType<juce::TextButton> (*window))
                    box.buttons.add (button->getButtonText());

                boxes.push_back (box);
            }
        }

        return boxes;
    }

    juce::String describeOpenBoxes()
    {
        const auto boxes = findOpenBoxes();
        juce::String text ("open boxes: ");

        if (boxes.empty())
            return text + "none";

        text << (int) boxes.size();

        for (const auto& box : boxes)
        {
            text << "\n  title \"" << box.title << "\""
                 << "\n  message \"" << box.message << "\""
                 << "\n  buttons \"" << box.buttons.joinIntoString ("\", \"") << "\"";
        }

        return text;
    }

    OpenBox waitForBox (int timeoutMs)
    {
        std::vector<OpenBox> boxes;
        runUntil ([&] { boxes = findOpenBoxes(); return ! boxes.empty(); }, timeoutMs);

        // Give a second box, if the program wrongly raised one, the chance to show up too.
        runFor (100);
        boxes = findOpenBoxes();

        EXPECT_EQ (boxes.size(), 1u) << "expected exactly one open box (waited up to " << timeoutMs << " ms); "
                                     << describeOpenBoxes();
        return boxes.empty() ? OpenBox() : boxes.front();
    }

    void clickButton (const OpenBox& box, const juce::String& buttonText)
    {
        ASSERT_NE (box.window.getComponent(), nullptr) << "no box";
        auto* button = findButton (*box.window, buttonText);
        ASSERT_NE (button, nullptr) << "no button " << buttonText;
        waitUntilViewable (*box.window);

        // A real pointer, moved and pressed through the display's test extension: the click
        // reaches the button the way a user's does, through the window's own mouse events.
        const auto centre = juce::Desktop::getInstance().getDisplays()
                                .logicalToPhysical (button->getScreenBounds().getCentre());
        runXTool ({ "xdotool", "mousemove", juce::String (centre.x), juce::String (centre.y), "click", "1" });

        // Not sent twice: once this box has gone, a second click could land on whatever the
        // program shows next in its place. The framework reads its X events only when its
        // connection turns readable, and events that Xlib took in while the framework was busy
        // with the display (painting the button under the arriving pointer, say) wait in Xlib's
        // queue for the next one: the pointer then moves by a pixel inside the button and back,
        // which brings the click in without sending it again.
        const auto closed = [&] { return box.window == nullptr || ! box.window->isShowing(); };
        runUntil (closed, 1000);

        for (int nudge = 0; nudge < 8 && ! closed(); ++nudge)
        {
            runXTool ({ "xdotool", "mousemove_relative", "--", "1", "0" });
            runXTool ({ "xdotool", "mousemove_relative", "--", "-1", "0" });
            runUntil (closed, 500);
        }

        EXPECT_TRUE (closed()) << "the box " << box.title << " stayed open after a click on " << buttonText
                               << "; " << describeOpenBoxes();
    }

    void pressKey (const OpenBox& box, const juce::String& keyName)
    {
        ASSERT_NE (box.window.getComponent(), nullptr) << "no box";
        waitUntilViewable (*box.window);

        // The box may close, and its window go, between the key's press and its release, which
        // the tool then reports as an error: whether the key worked is seen from the box. Now and
        // then a key sent to a window that has only just been mapped is lost on the way, so it is
        // sent again while the same box stays open.
        const auto closed = [&] { return box.window == nullptr || ! box.window->isShowing(); };

        for (int attempt = 0; attempt < 5 && ! closed(); ++attempt)
        {
            runXTool ({ "xdotool", "key", "--window", windowId (*box.window), keyName }, false);
            runUntil (closed, 1000);
        }

        EXPECT_TRUE (closed()) << "the box " << box.title << " stayed open after " << keyName << "; " << describeOpenBoxes();

        // The tool may have stopped between the key's press and its release; a key left down
        // would press the next box's button by itself.
        releaseKeys ({ keyName });
    }

    //==============================================================================
    OpenChooser waitForChooser (int timeoutMs)
    {
        OpenChooser found;

        runUntil ([&]
        {
            auto& desktop = juce::Desktop::getInstance();

            for (int i = 0; i < desktop.getNumComponents(); ++i)
            {
                if (auto* dialog = dynamic_cast<juce::FileChooserDialogBox*> (desktop.getComponent (i)))
                {
                    if (! dialog->isShowing())
                        continue;

                    found.dialog = dialog;
                    found.title = dialog->getName();

                    if (auto browsers = childrenOfType<juce::FileBrowserComponent> (*dialog); ! browsers.empty())
                        found.root = browsers.front()->getRoot();

                    return true;
                }
            }

            return false;
        }, timeoutMs);

        EXPECT_NE (found.dialog.getComponent(), nullptr) << "no folder chooser opened within " << timeoutMs << " ms; "
                                                         << describeOpenBoxes();
        return found;
    }

    namespace
    {
        juce::FileBrowserComponent* browserOf (const OpenChooser& chooser)
        {
            if (chooser.dialog == nullptr)
                return nullptr;

            auto browsers = childrenOfType<juce::FileBrowserComponent> (*chooser.dialog);
            return browsers.empty() ? nullptr : browsers.front();
        }

        bool chooserHasClosed (const OpenChooser& chooser)
        {
            return chooser.dialog == nullptr || ! chooser.dialog->isShowing();
        }
    }

    void chooseFolder (const OpenChooser& chooser, const juce::File& folder)
    {
        enterFolder (chooser, folder);
        pressChooserAction (chooser);
    }

    // The chooser is the framework's own dialog; it is driven through its own components, since
    // text typed into it from outside the process reaches it only now and then.
    void enterFolder (const OpenChooser& chooser, const juce::File& folder)
    {
        auto* browser = browserOf (chooser);
        ASSERT_NE (browser, nullptr);
        browser->setRoot (folder);
        ASSERT_EQ (browser->getRoot(), folder);
    }

    void pressChooserAction (const OpenChooser& chooser)
    {
        auto* browser = browserOf (chooser);
        ASSERT_NE (browser, nullptr);
        auto* action = findButton (*chooser.dialog, browser->getActionVerb());
        ASSERT_NE (action, nullptr);
        action->triggerClick();
        EXPECT_TRUE (runUntil ([&] { return chooserHasClosed (chooser); })) << "the chooser stayed open; " << describeOpenBoxes();
    }

    void cancelChooser (const OpenChooser& chooser)
    {
        ASSERT_NE (chooser.dialog.getComponent(), nullptr);
        auto* cancel = findButton (*chooser.dialog, "Cancel");
        ASSERT_NE (cancel, nullptr);
        cancel->triggerClick();
        EXPECT_TRUE (runUntil ([&] { return chooserHasClosed (chooser); })) << "the chooser stayed open; " << describeOpenBoxes();
    }

    //==============================================================================
    TempFolder::TempFolder()
    {
        // Named and made in one step: test processes that start in the same instant share the
        // system's temporary folder, and a name that was merely free when looked at can be taken
        // by another of them before it is made; whichever finishes first then deletes the folder
        // under the others.
        const auto pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                 .getChildFile ("velm-test-XXXXXX").getFullPathName().toStdString();
        std::vector<char> path (pattern.c_str(), pattern.c_str() + pattern.size() + 1);

        // Others may look in but not write: tests that act as an unprivileged user must still
        // reach what lies below, and mkdtemp leaves the folder to its owner alone.
        if (::mkdtemp (path.data()) == nullptr || ::chmod (path.data(), 0755) != 0)
        {
            // This also runs in main() before any test, where a test failure would not be seen:
            // a test without its folder would only fail later, for reasons that hide this one.
            const auto error = errno;
            std::fprintf (stderr, "velm tests: no temporary folder could be made from %s: %s\n",
                          pattern.c_str(), std::strerror (error));
            std::abort();
        }

        folder = juce::File (juce::String::fromUTF8 (path.data()));
    }

    TempFolder::~TempFolder()
    {
        // Tests may leave read-only folders behind; make them removable again first.
        juce::ChildProcess chmod;
        if (chmod.start (juce::StringArray { "chmod", "-R", "u+rwx", folder.getFullPathName() }, 0))
            chmod.waitForProcessToFinish (5000);

        folder.deleteRecursively();
    }

    ScopedEnvironmentVariable::ScopedEnvironmentVariable (const char* nameToSet, const std::optional<juce::String>& value)
        : name (nameToSet)
    {
        if (const auto* old = std::getenv (name))
            previous = old;

        if (value.has_value())
            ::setenv (name, value->toRawUTF8(), 1);
        else
            ::unsetenv (name);
    }

    ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
    {
        if (previous.has_value())
            ::setenv (name, previous->c_str(), 1);
        else
            ::unsetenv (name);
    }

    juce::MemoryBlock randomBytes (size_t numBytes, juce::int64 seed)
    {
        juce::MemoryBlock block (numBytes);
        juce::Random random (seed);
        random.fillBitsRandomly (block.getData(), block.getSize());
        return block;
    }

    std::string sha256Hex (const juce::MemoryBlock& data)
    {
        return velm::sha256OfData (data.getData(), data.getSize()).toStdString();
    }

    std::string bytesOf (const juce::MemoryBlock& block)
    {
        return std::string (static_cast<const char*> (block.getData()), block.getSize());
    }

    std::string fileBytes (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return bytesOf (block);
    }

    //==============================================================================
    HttpServer::HttpServer()
    {
        server.set_pre_routing_handler ([this] (const httplib::Request& request, httplib::Response&)
        {
            record (request);
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }

    HttpServer::~HttpServer()
    {
        server.stop();

        if (thread.joinable())
            thread.join();
    }

    void HttpServer::start()
    {
        boundPort = server.bind_to_any_port ("127.0.0.1");
        ASSERT_GT (boundPort, 0);
        thread = std::thread ([this] { server.listen_after_bind(); });

        while (! server.is_running())
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }

    juce::String HttpServer::url (const juce::String& path) const
    {
        return "http://127.0.0.1:" + juce::String (boundPort) + path;
    }

    void HttpServer::record (const httplib::Request& request)
    {
        const std::lock_guard<std::mutex> lock (mutex);
        const auto queryStart = request.target.find ('?');
        requests[request.path].push_back (queryStart == std::string::npos ? std::string() : request.target.substr (queryStart + 1));
    }

    int HttpServer::requestCount (const std::string& path) const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        const auto found = requests.find (path);
        return found == requests.end() ? 0 : (int) found->second.size();
    }

    std::vector<std::string> HttpServer::queries (const std::string& path) const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        const auto found = requests.find (path);
        return found == requests.end() ? std::vector<std::string>() : found->second;
    }

    void HttpServer::serve (const std::string& path, int status, const std::string& body, const std::string& contentType)
    {
        server.Get (path, [status, body, contentType] (const httplib::Request&, httplib::Response& response)
        {
            response.status = status;
            response.set_content (body, contentType.c_str());
        });
    }

    //==============================================================================
    FakeOpener::FakeOpener()
        : log (folder / "opened.log"),
          previousPath (juce::SystemStats::getEnvironmentVariable ("PATH", {}))
    {
        auto opener = folder / "xdg-open";
        // Plain line feeds: the framework would otherwise end the lines with "\r\n", and a
        // "#!/bin/sh\r" line names no interpreter, so that the opener could never be started.
        opener.replaceWithText ("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$VELM_TEST_OPEN_LOG\"\n", false, false, "\n");
        opener.setExecutePermission (true);

        setenv ("VELM_TEST_OPEN_LOG", log.getFullPathName().toRawUTF8(), 1);
        setenv ("PATH", (folder.get().getFullPathName() + ":" + previousPath).toRawUTF8(), 1);
    }

    FakeOpener::~FakeOpener()
    {
        setenv ("PATH", previousPath.toRawUTF8(), 1);
        unsetenv ("VELM_TEST_OPEN_LOG");
    }

    juce::StringArray FakeOpener::opened() const
    {
        juce::StringArray lines;
        lines.addLines (log.loadFileAsString());
        lines.removeEmptyStrings();
        return lines;
    }

    juce::StringArray FakeOpener::waitForOpened (int n, int timeoutMs) const
    {
        if (! runUntil ([&] { return opened().size() >= n; }, timeoutMs))
            ADD_FAILURE() << "fewer than " << n << " texts opened within " << timeoutMs << " ms (opened: ["
                          << opened().joinIntoString (", ") << "]); " << describeOpenBoxes();

        return opened();
    }

    //==============================================================================
    StdoutCapture::StdoutCapture()
        : file (folder / "stdout.txt")
    {
        std::fflush (stdout);
        savedFd = dup (STDOUT_FILENO);
        auto* captured = std::fopen (file.getFullPathName().toRawUTF8(), "w");
        dup2 (fileno (captured), STDOUT_FILENO);
        std::fclose (captured);
    }

    StdoutCapture::~StdoutCapture()
    {
        std::fflush (stdout);
        dup2 (savedFd, STDOUT_FILENO);
        close (savedFd);
    }

    juce::String StdoutCapture::text()
    {
        std::fflush (stdout);
        return file.loadFileAsString();
    }

    //==============================================================================
    juce::var makeConfig (const juce::String& productName, const juce::String& manifestUrl, const juce::String& coloursJson)
    {
        auto* download = new juce::DynamicObject();
        download->setProperty ("url", manifestUrl);
        download->setProperty ("macInstallerExtension", "pkg");

        auto* config = new juce::DynamicObject();
        config->setProperty ("productName", productName);
        config->setProperty ("colors", juce::JSON::parse (coloursJson));
        config->setProperty ("download", juce::var (download));
        return juce::var (config);
    }

    juce::String uniqueProductName (const juce::String& hint)
    {
        static std::atomic<int> counter { 0 };
        return "Velm Test " + hint + " " + juce::String (getpid()) + "-" + juce::String (++counter);
    }

    WindowUnderTest::WindowUnderTest (const juce::String& productName, const juce::var& configToUse)
        : config (configToUse)
    {
        // The program makes one window per process; here many come one after another, so the
        // faces that the framework cached under an earlier window's look-and-feel are dropped,
        // as a fresh process would have none.
        juce::Typeface::clearTypefaceCache();
        mainWindow = std::make_unique<velmDownloaderApplication::MainWindow> (productName + " Downloader", config);
    }

    WindowUnderTest::~WindowUnderTest()
    {
        close();
    }

    MainComponent& WindowUnderTest::component()
    {
        return *dynamic_cast<MainComponent*> (mainWindow->getContentComponent());
    }

    void WindowUnderTest::destroyWindowOnly()
    {
        mainWindow.reset();
    }

    void WindowUnderTest::close()
    {
        mainWindow.reset();

        // Boxes the run left open belong to a run that has ended; close them so that the next
        // test starts on an empty display.
        for (auto& box : findOpenBoxes())
            if (box.window != nullptr)
                box.window->exitModalState (-1);

        runFor (20);
    }

    std::string fileElement (const std::string& url, const std::string& filename, double filesize,
                             const std::string& sha256, bool runAfterDownload)
    {
        auto* element = new juce::DynamicObject();
        element->setProperty ("url", juce::String (url));
        element->setProperty ("filename", juce::String (filename));
        element->setProperty ("filesize", filesize);
        element->setProperty ("checksum_sha256", juce::String (sha256));
        element->setProperty ("run_after_download", runAfterDownload);
        return juce::JSON::toString (juce::var (element), true).toStdString();
    }

    //==============================================================================
    void releaseKeys (const juce::StringArray& keyNames)
    {
        // First on the display itself: a key tool that failed halfway (the box's window went
        // between its press and its release) leaves the key down there, and the display tells
        // the framework so again whenever one of its windows gains the focus.
        juce::StringArray onDisplay { "xdotool", "keyup" };
        onDisplay.addArray (keyNames);
        runXTool (onDisplay);

        auto& desktop = juce::Desktop::getInstance();

        for (int i = 0; i < desktop.getNumComponents(); ++i)
        {
            auto* window = desktop.getComponent (i);

            if (window == nullptr || ! window->isShowing() || dynamic_cast<juce::AlertWindow*> (window) != nullptr)
                continue;

            if (const auto id = windowId (*window); id.isNotEmpty())
            {
                juce::StringArray arguments { "xdotool", "keyup", "--window", id };
                arguments.addArray (keyNames);
                runXTool (arguments);
                runFor (20);
                return;
            }
        }
    }

    void startRunInFolder (const juce::File& folder)
    {
        const auto question = waitForBox();
        ASSERT_EQ (question.title, "Select download location") << describeOpenBoxes();
        clickButton (question, "Custom");
        chooseFolder (waitForChooser(), folder);
    }

    juce::String labelText (juce::Component& content, const juce::String& labelName)
    {
        for (auto* label : childrenOfType<juce::Label> (content))
            if (label->getName() == labelName)
                return label->getText();

        return {};
    }

    namespace
    {
        /** A TCP socket bound to 127.0.0.1 at the given port (0: any free one), or -1. */
        int bindLoopbackSocket (int port, int& boundPort)
        {
            const auto fd = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

            if (fd < 0)
                return -1;

            const int reuse = 1;
            ::setsockopt (fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof (reuse));

            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons ((uint16_t) port);
            address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
            socklen_t length = sizeof (address);

            if (::bind (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0
                 || ::getsockname (fd, reinterpret_cast<sockaddr*> (&address), &length) != 0)
            {
                ::close (fd);
                return -1;
            }

            boundPort = ntohs (address.sin_port);
            return fd;
        }
    }

    int unusedPort()
    {
        int port = -1;
        const auto fd = bindLoopbackSocket (0, port);
        EXPECT_GE (fd, 0) << "no socket could be bound on 127.0.0.1";

        if (fd >= 0)
            ::close (fd);

        return port;
    }

    //==============================================================================
    bool SocketConnection::send (const std::string& bytes)
    {
        for (size_t done = 0; done < bytes.size();)
        {
            const auto n = ::send (fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);

            if (n <= 0)
                return false;

            done += (size_t) n;
            sent += n;
        }

        return true;
    }

    bool SocketConnection::waitForPeerClose (int timeoutMs)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
        char buffer[4096];

        while (juce::Time::getMillisecondCounter() < end && ! stopping->load())
        {
            pollfd entry { fd, POLLIN, 0 };

            if (::poll (&entry, 1, 50) <= 0)
                continue;

            if (::recv (fd, buffer, sizeof (buffer), 0) <= 0)
                return true;
        }

        return false;
    }

    void SocketConnection::reset()
    {
        // A zero linger time makes close() send a reset and drop what is still queued.
        const linger abort { 1, 0 };
        ::setsockopt (fd, SOL_SOCKET, SO_LINGER, &abort, sizeof (abort));
        ::close (fd);
        fd = -1;
    }

    ScriptedSocketServer::ScriptedSocketServer (Script scriptToRun)
        : script (std::move (scriptToRun))
    {
        listener = bindLoopbackSocket (0, boundPort);
        EXPECT_GE (listener, 0) << "no socket could be bound on 127.0.0.1";

        if (listener >= 0 && ::listen (listener, 16) == 0)
            thread = std::thread ([this] { acceptLoop(); });
    }

    ScriptedSocketServer::~ScriptedSocketServer()
    {
        stopping = true;

        if (thread.joinable())
            thread.join();

        // No thread is added once the accepting loop has ended.
        for (auto& t : connectionThreads)
            if (t.joinable())
                t.join();

        if (listener >= 0)
            ::close (listener);
    }

    juce::String ScriptedSocketServer::url (const juce::String& path) const
    {
        return "http://127.0.0.1:" + juce::String (boundPort) + path;
    }

    int ScriptedSocketServer::connectionCount() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return (int) requestedPaths.size();
    }

    std::vector<std::string> ScriptedSocketServer::paths() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return requestedPaths;
    }

    void ScriptedSocketServer::acceptLoop()
    {
        while (! stopping)
        {
            pollfd entry { listener, POLLIN, 0 };

            if (::poll (&entry, 1, 50) <= 0)
                continue;

            const auto client = ::accept4 (listener, nullptr, nullptr, SOCK_CLOEXEC);

            if (client < 0)
                continue;

            // The head is read here, so that the order of the recorded paths is the order of
            // the connections; every wait is bounded.
            std::string head;
            char buffer[4096];
            const auto giveUp = juce::Time::getMillisecondCounter() + 5000;

            while (head.find ("\r\n\r\n") == std::string::npos && head.size() < 65536
                    && juce::Time::getMillisecondCounter() < giveUp && ! stopping)
            {
                pollfd clientEntry { client, POLLIN, 0 };

                if (::poll (&clientEntry, 1, 50) <= 0)
                    continue;

                const auto received = ::recv (client, buffer, sizeof (buffer), 0);

                if (received <= 0)
                    break;

                head.append (buffer, (size_t) received);
            }

            auto connection = std::make_shared<SocketConnection>();
            connection->fd = client;
            connection->stopping = &stopping;
            connection->head = head.substr (0, head.find ("\r\n\r\n"));

            const auto firstSpace = head.find (' ');
            const auto secondSpace = firstSpace == std::string::npos ? std::string::npos : head.find (' ', firstSpace + 1);

            if (secondSpace != std::string::npos)
            {
                const auto target = head.substr (firstSpace + 1, secondSpace - firstSpace - 1);
                connection->path = target.substr (0, target.find ('?'));
            }

            {
                const std::lock_guard<std::mutex> lock (mutex);
                connection->index = (int) requestedPaths.size();
                requestedPaths.push_back (connection->path);
            }

            connectionThreads.emplace_back ([this, connection]
            {
                script (*connection);

                if (connection->fd >= 0)
                {
                    ::shutdown (connection->fd, SHUT_WR);
                    ::close (connection->fd);
                }
            });
        }
    }
}
