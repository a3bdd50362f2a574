// The checks between the manifest and the first download, in the real window: the write test of
// the chosen folder, the creation of the product folder, and the free space on its volume, with
// real read-only and small volumes (tmpfs) where the test runs as root.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace velmtest;

namespace
{
    constexpr juce::int64 mebibyte = 1024 * 1024;

    std::string folderMessage (const juce::String& folderName)
    {
        return ("Make sure that you have a " + folderName
                + " folder and you have permission to read and write to this folder").toStdString();
    }

    /** A tmpfs of a given size mounted on a folder of its own; unmounted by unmount() or at the
        latest by the destructor. Mounting needs root: where it cannot be done, reason() says why. */
    class TmpfsMount
    {
    public:
        TmpfsMount (const juce::File& mountPointToUse, const std::string& size)
            : mountPoint (mountPointToUse)
        {
            if (geteuid() != 0)
            {
                failure = "mounting a tmpfs needs root, and the tests run as uid " + std::to_string (geteuid());
                return;
            }

            mountPoint.createDirectory();

            if (::mount ("tmpfs", path(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size + ",mode=0755").c_str()) != 0)
                failure = std::string ("mount -t tmpfs failed: ") + std::strerror (errno);
            else
                mounted = true;
        }

        ~TmpfsMount()  { unmount(); }

        bool isMounted() const noexcept          { return mounted; }
        const std::string& reason() const        { return failure; }
        const juce::File& folder() const         { return mountPoint; }

        /** Makes the volume read-only, with what it holds so far. */
        bool remountReadOnly()
        {
            return ::mount ("tmpfs", path(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
        }

        void unmount()
        {
            if (mounted && ::umount2 (path(), MNT_DETACH) == 0)
                mounted = false;
        }

    private:
        const char* path() const  { return mountPoint.getFullPathName().toRawUTF8(); }

        juce::File mountPoint;
        bool mounted = false;
        std::string failure;
    };

    /** Runs the process, all of its threads, as an unprivileged user while it lives: root passes
        every write-access test of the framework, whatever a file's mode says. The real user id
        changes too, since access() tests with it; the saved one stays root, to come back. */
    class UnprivilegedScope
    {
    public:
        UnprivilegedScope()
        {
            if (geteuid() != 0)
            {
                active = true;   // already unprivileged
                return;
            }

            const auto* nobody = ::getpwnam ("nobody");

            if (nobody == nullptr)
            {
                failure = "there is no user 'nobody' to run as";
                return;
            }

            if (::setresuid (nobody->pw_uid, nobody->pw_uid, 0) != 0)
            {
                failure = std::string ("setresuid (nobody) failed: ") + std::strerror (errno);
                return;
            }

            switched = active = true;
        }

        ~UnprivilegedScope()  { restore(); }

        void restore()
        {
            if (switched && ::setresuid (0, 0, 0) == 0)
                switched = false;
        }

        bool isActive() const noexcept     { return active; }
        const std::string& reason() const  { return failure; }

    private:
        bool active = false, switched = false;
        std::string failure;
    };
}

//==============================================================================
class DownloadFolderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        productName = uniqueProductName ("Folder");
        quitsBefore = TestApplication::get().quitRequests.load();

        server.routes().Get ("/meta", [this] (const httplib::Request&, httplib::Response& response)
        {
            const std::lock_guard<std::mutex> lock (manifestLock);
            response.set_content (manifest, "application/json");
        });

        server.routes().Get (R"(/files/(.+))", [this] (const httplib::Request& request, httplib::Response& response)
        {
            const std::lock_guard<std::mutex> lock (manifestLock);
            const auto found = bodies.find (request.matches[1].str());

            if (found == bodies.end())
            {
                response.status = 404;
                return;
            }

            response.set_content (found->second, "application/octet-stream");
        });

        server.start();
    }

    void TearDown() override
    {
        window.reset();

        // Nothing holds a file on the volumes any more.
        for (auto* volume : volumes)
            volume->unmount();
    }

    /** A release file served under /files/<name>; returns its manifest element. */
    std::string releaseFile (const std::string& name, size_t size)
    {
        const auto data = randomBytes (size, (juce::int64) std::hash<std::string>() (name));
        const std::lock_guard<std::mutex> lock (manifestLock);
        bodies[name] = std::string (static_cast<const char*> (data.getData()), data.getSize());
        return fileElement (server.url ("/files/" + juce::String (name)).toStdString(), name, (double) size, sha256Hex (data));
    }

    std::string bodyOf (const std::string& name)
    {
        const std::lock_guard<std::mutex> lock (manifestLock);
        return bodies[name];
    }

    int fileRequests() const
    {
        int n = 0;
        for (const auto& [name, body] : bodies)
            n += server.requestCount ("/files/" + name);
        return n;
    }

    /** Opens the window on a manifest of these elements and chooses the base path in the
        chooser, which takes any existing path, a file as well as a folder. */
    void startRun (const std::vector<std::string>& elements, const juce::File& basePath)
    {
        openWindow (elements);
        startRunInFolder (basePath);
    }

    void openWindow (const std::vector<std::string>& elements)
    {
        {
            const std::lock_guard<std::mutex> lock (manifestLock);
            manifest = R"({"version":"1.0","files":[)";

            for (size_t i = 0; i < elements.size(); ++i)
                manifest += (i > 0 ? "," : "") + elements[i];

            manifest += "]}";
        }

        window = std::make_unique<WindowUnderTest> (productName, makeConfig (productName, server.url ("/meta")));
    }

    MainComponent& component()  { return window->component(); }

    int quitsSinceStart() const  { return TestApplication::get().quitRequests.load() - quitsBefore; }

    /** The common error box of a failed check: its texts, its single button, no download after
        it, and one quit request when it is closed. */
    void expectTheOnlyBoxAndQuit (const OpenBox& box, const std::string& title, const std::string& message)
    {
        EXPECT_EQ (box.title.toStdString(), title);
        EXPECT_EQ (box.message.toStdString(), message);
        EXPECT_EQ (box.buttons, juce::StringArray { "Cancel" });
        ASSERT_NE (box.window.getComponent(), nullptr);
        EXPECT_EQ (box.window->getAlertType(), juce::MessageBoxIconType::InfoIcon);

        const auto requestsAtBox = fileRequests();
        runFor (2000);
        EXPECT_EQ (fileRequests(), requestsAtBox) << "nothing is requested after the box";
        EXPECT_EQ (findOpenBoxes().size(), 1u);
        EXPECT_NE (labelText (component(), "statusLabel"), "Download done ...");
        EXPECT_EQ (quitsSinceStart(), 0);

        clickButton (box, "Cancel");
        EXPECT_EQ (quitsSinceStart(), 1);
    }

    TmpfsMount& mountTmpfs (const juce::String& name, const std::string& size)
    {
        owned.push_back (std::make_unique<TmpfsMount> (volumesFolder / name, size));
        volumes.push_back (owned.back().get());
        return *owned.back();
    }

    HttpServer server;
    TempFolder base, volumesFolder;
    juce::String productName;
    int quitsBefore = 0;
    std::unique_ptr<WindowUnderTest> window;
    std::vector<std::unique_ptr<TmpfsMount>> owned;
    std::vector<TmpfsMount*> volumes;
    std::mutex manifestLock;
    std::string manifest;
    std::map<std::string, std::string> bodies;
};

//==============================================================================
TEST_F (DownloadFolderTest, AReadOnlyFileAsTheBaseIsRefusedWithPermissionDenied)
{
    const auto readOnlyBase = base / "Readonly Base";
    ASSERT_TRUE (readOnlyBase.replaceWithText ("a file, not a folder"));
    ASSERT_TRUE (readOnlyBase.setReadOnly (true));

    // The manifest copy must still be writable for the unprivileged user.
    TempFolder openTemporaryFolder;
    ASSERT_EQ (::chmod (openTemporaryFolder.get().getFullPathName().toRawUTF8(), 0777), 0);
    const auto previousTemporaryFolder = juce::SystemStats::getEnvironmentVariable ("TMPDIR", {});
    setenv ("TMPDIR", openTemporaryFolder.get().getFullPathName().toRawUTF8(), 1);

    openWindow ({ releaseFile ("a.bin", 100) });
    clickButton (waitForBox(), "Custom");
    const auto chooser = waitForChooser();
    enterFolder (chooser, readOnlyBase);

    // Only from the chooser's answer to the verdict: the X tools that click and press keys
    // need root's authority on the display.
    UnprivilegedScope unprivileged;

    if (! unprivileged.isActive())
    {
        setenv ("TMPDIR", previousTemporaryFolder.toRawUTF8(), 1);
        std::cout << "[ skipped  ] a read-only file cannot be arranged: " << unprivileged.reason() << std::endl;
        GTEST_SKIP() << unprivileged.reason();
    }

    pressChooserAction (chooser);
    runUntil ([&] { return component().getState() == DownloaderState::fatalError; });
    unprivileged.restore();
    setenv ("TMPDIR", previousTemporaryFolder.toRawUTF8(), 1);

    const auto box = waitForBox();
    EXPECT_EQ (component().getState(), DownloaderState::fatalError);
    EXPECT_EQ (component().getFileCount(), 0) << "no records";
    EXPECT_EQ (component().getDownloadFolder().getFullPathName(), readOnlyBase.getFullPathName()) << "the base stays as it was";
    EXPECT_TRUE (readOnlyBase.existsAsFile());
    EXPECT_EQ (server.requestCount ("/meta"), 1);

    expectTheOnlyBoxAndQuit (box, "Permission Denied", folderMessage ("Readonly Base"));
}

//==============================================================================
// The product folder cannot be created: the box is titled with the system's own description.

TEST_F (DownloadFolderTest, AProductFolderInsideAFileCannotBeCreated)
{
    const auto plainFile = base / "Plain File";
    ASSERT_TRUE (plainFile.replaceWithText ("in the way"));

    startRun ({ releaseFile ("a.bin", 100) }, plainFile);
    const auto box = waitForBox();

    std::cout << "[ observed ] title for a product folder inside a file: \"" << box.title << "\"" << std::endl;
    EXPECT_TRUE (box.title.isNotEmpty());
    EXPECT_NE (box.title, "Permission Denied") << "a writable file passes the write test";
    EXPECT_EQ (component().getFileCount(), 0) << "no records";
    EXPECT_EQ (component().getDownloadFolder().getFullPathName(),
               plainFile.getFullPathName() + juce::File::getSeparatorString() + productName)
        << "the product folder is named already";
    EXPECT_TRUE (plainFile.existsAsFile());
    EXPECT_EQ (plainFile.loadFileAsString(), "in the way");

    expectTheOnlyBoxAndQuit (box, box.title.toStdString(), folderMessage ("Plain File"));
}

TEST_F (DownloadFolderTest, AProductFolderOnAReadOnlyVolumeCannotBeCreated)
{
    // Only root passes the framework's write test for a folder on a read-only volume; anyone
    // else gets "Permission Denied" there.
    auto& volume = mountTmpfs ("Sealed Volume", "1m");

    if (! volume.isMounted())
    {
        std::cout << "[ skipped  ] " << volume.reason() << std::endl;
        GTEST_SKIP() << volume.reason();
    }

    ASSERT_TRUE (volume.remountReadOnly()) << std::strerror (errno);

    startRun ({ releaseFile ("a.bin", 100) }, volume.folder());
    const auto box = waitForBox();

    EXPECT_EQ (component().getFileCount(), 0);
    EXPECT_FALSE (volume.folder().getChildFile (productName).exists());
    expectTheOnlyBoxAndQuit (box, std::strerror (EROFS), folderMessage ("Sealed Volume"));
}

//==============================================================================
// Free space on a small volume.

TEST_F (DownloadFolderTest, TooLittleFreeSpaceStopsTheRunBeforeAnyRequest)
{
    auto& volume = mountTmpfs ("Small Volume", "2m");

    if (! volume.isMounted())
    {
        std::cout << "[ skipped  ] " << volume.reason() << std::endl;
        GTEST_SKIP() << volume.reason();
    }

    startRun ({ releaseFile ("one.bin", (size_t) mebibyte), releaseFile ("two.bin", (size_t) mebibyte),
                releaseFile ("three.bin", (size_t) mebibyte) },
              volume.folder());

    const auto box = waitForBox();

    EXPECT_EQ (component().getFileCount(), 3) << "the records exist and were checked";
    EXPECT_EQ (component().getState(), DownloaderState::fatalError);
    EXPECT_EQ (fileRequests(), 0);
    EXPECT_FALSE (component().isTimerRunning (-1)) << "the box stops the interface timer";
    EXPECT_FALSE (component().isTimerRunning (-2));
    EXPECT_FALSE (component().isTimerRunning (0));

    expectTheOnlyBoxAndQuit (box, "Not Enough Space",
                             ("You need to have at least " + juce::File::descriptionOfSizeInBytes (3 * mebibyte)
                              + " free in your drive to be able to download.").toStdString());
}

TEST_F (DownloadFolderTest, TheNeedLeavesOutFilesAlreadyCompleteOnDisk)
{
    // Room for one more file of the three, not for all three.
    auto& volume = mountTmpfs ("Half Full Volume", "3584k");

    if (! volume.isMounted())
    {
        std::cout << "[ skipped  ] " << volume.reason() << std::endl;
        GTEST_SKIP() << volume.reason();
    }

    const auto elements = std::vector<std::string> { releaseFile ("one.bin", (size_t) mebibyte),
                                                     releaseFile ("two.bin", (size_t) mebibyte),
                                                     releaseFile ("three.bin", (size_t) mebibyte) };

    const auto productFolder = volume.folder().getChildFile (productName);
    ASSERT_TRUE (productFolder.createDirectory().wasOk());

    for (const std::string name : { "one.bin", "three.bin" })
    {
        const auto body = bodyOf (name);
        ASSERT_TRUE (productFolder.getChildFile (name).replaceWithData (body.data(), body.size()));
    }

    const auto freeBytes = productFolder.getBytesFreeOnVolume();
    std::cout << "[ figures  ] free on the volume before the run: " << freeBytes << " bytes" << std::endl;
    ASSERT_LT (freeBytes, 3 * mebibyte) << "the whole release must not fit, or the case shows nothing";
    ASSERT_GE (freeBytes, mebibyte);

    startRun (elements, volume.folder());

    EXPECT_TRUE (runUntil ([&] { return labelText (component(), "statusLabel") == "Download done ..."; }, 15000))
        << "status: " << labelText (component(), "statusLabel") << "; " << describeOpenBoxes();
    EXPECT_TRUE (findOpenBoxes().empty());
    EXPECT_EQ (component().getVerifiedCount(), 3);
    EXPECT_EQ (server.requestCount ("/files/one.bin"), 0);
    EXPECT_EQ (server.requestCount ("/files/two.bin"), 1);
    EXPECT_EQ (server.requestCount ("/files/three.bin"), 0);

    juce::MemoryBlock downloaded;
    productFolder.getChildFile ("two.bin").loadFileAsData (downloaded);
    EXPECT_TRUE (std::string (static_cast<const char*> (downloaded.getData()), downloaded.getSize()) == bodyOf ("two.bin"));
}
