#pragma once

// One whole download run in the real window: a manifest served on 127.0.0.1, a download folder
// of the test's own, and an opener that only records what it is given.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace velmtest
{
    class RunFixture : public testing::Test
    {
    protected:
        void SetUp() override
        {
            productName = uniqueProductName ("Run");
            quitsBefore = TestApplication::get().quitRequests.load();
        }

        void TearDown() override
        {
            // A key that the framework still takes as held would press the next test's boxes.
            if (findOpenBoxes().empty())
                releaseKeys();

            window.reset();
        }

        /** Closes a box with a pointer click on one of its buttons. */
        void press (const OpenBox& box, const juce::String& button)
        {
            clickButton (box, button);
        }

        /** Serves the manifest under /meta (with the status given) and starts the server; routes
            for the files may be added before. "{{server}}" in the manifest stands for the server's
            own address, whose port is known only once it serves. */
        void serveManifest (const std::string& manifest, int status = 200,
                            const std::string& contentType = "application/json")
        {
            server.routes().Get ("/meta", [this, manifest, status, contentType] (const httplib::Request&, httplib::Response& response)
            {
                response.status = status;
                response.set_content (withServerAddress (manifest), contentType.c_str());
            });

            server.start();
        }

        std::string withServerAddress (std::string text) const
        {
            const std::string placeholder = "{{server}}";
            const auto address = server.url ("").toStdString();

            for (auto at = text.find (placeholder); at != std::string::npos; at = text.find (placeholder, at + address.size()))
                text.replace (at, placeholder.size(), address);

            return text;
        }

        /** Opens the window on a configured manifest address. */
        void openWindow (const juce::String& manifestUrl)
        {
            window = std::make_unique<WindowUnderTest> (productName, makeConfig (productName, manifestUrl));
        }

        /** The usual run: the manifest at /meta, downloading into the test's own folder. */
        void runWithManifest (const std::string& manifest, int status = 200,
                              const std::string& contentType = "application/json")
        {
            serveManifest (manifest, status, contentType);
            openWindow (server.url ("/meta"));
            startRunInFolder (base.get());
        }

        MainComponent& component()        { return window->component(); }
        juce::String label (const juce::String& name)  { return labelText (component(), name); }

        /** The waits of a run; when the time is up first, the result says where the run stopped
            instead, and which boxes are open. */
        testing::AssertionResult waitForDone (int timeoutMs = 10000)
        {
            if (runUntil ([&] { return label ("statusLabel") == "Download done ..."; }, timeoutMs))
                return testing::AssertionSuccess();

            return runStoppedShort ("done", timeoutMs);
        }

        /** Waits until every record of the manifest exists: they are all built before the run
            leaves the idle state. */
        testing::AssertionResult waitForRecords (int timeoutMs = 10000)
        {
            if (runUntil ([&] { return component().getState() != DownloaderState::idle; }, timeoutMs))
                return testing::AssertionSuccess();

            return runStoppedShort ("past the idle state", timeoutMs);
        }

        testing::AssertionResult runStoppedShort (const char* goal, int timeoutMs)
        {
            return testing::AssertionFailure()
                << "the run did not get " << goal << " within " << timeoutMs << " ms; state "
                << (int) component().getState() << ", status \"" << label ("statusLabel") << "\", "
                << server.requestCount ("/meta") << " manifest requests; "
                << describeOpenBoxes();
        }

        int quitsSinceStart() const  { return TestApplication::get().quitRequests.load() - quitsBefore; }

        juce::File manifestCopy() const
        {
            return juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile (productName + "Downloader.json");
        }

        juce::File productFolder() const  { return base / productName; }

        /** Writes a file of the release into the product folder, complete and correct, and returns
            its manifest element; its address is served by nothing, so any request for it shows. */
        std::string presentFile (const juce::String& filename, size_t size, bool runAfterDownload = false)
        {
            const auto data = randomBytes (size, (juce::int64) size * 7919 + filename.hashCode());
            productFolder().createDirectory();
            EXPECT_TRUE (productFolder().getChildFile (filename).replaceWithData (data.getData(), data.getSize()));
            return fileElement (fileUrl (filename).toStdString(), filename.toStdString(), (double) size,
                                sha256Hex (data), runAfterDownload);
        }

        /** Where the files of the release are fetched from; works before the server serves. */
        static juce::String fileUrl (const juce::String& filename)  { return "{{server}}/files/" + filename; }

        /** How many requests for files of the release reached the server. */
        int fileRequests (const juce::StringArray& filenames) const
        {
            int n = 0;
            for (const auto& name : filenames)
                n += server.requestCount (("/files/" + name).toStdString());
            return n;
        }

        HttpServer server;
        TempFolder base;
        FakeOpener opener;
        juce::String productName;
        int quitsBefore = 0;
        std::unique_ptr<WindowUnderTest> window;
    };

    /** The texts of a JSON manifest whose "files" array holds the elements given. */
    inline std::string manifestWithFiles (const std::vector<std::string>& elements)
    {
        std::string text = R"({"sku":"test","buildno":1,"version":"1.0","files":[)";

        for (size_t i = 0; i < elements.size(); ++i)
            text += (i > 0 ? "," : "") + elements[i];

        return text + "]}";
    }
}
