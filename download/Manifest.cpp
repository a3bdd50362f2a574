#include "download/MainComponent.h"

#include "download/ManifestReading.h"
#include "download/SupportAddress.h"
#include "json/BoundedJson.h"
#include "json/TextDecoding.h"
#include "platform/DownloadTask.h"
#include "platform/TemporaryFolder.h"

namespace velm
{
    ManifestVerdict readManifest (const juce::var& manifest)
    {
        auto* object = manifest.getDynamicObject();

        if (object == nullptr)
            return ManifestVerdict::notAnObject;

        if (object->hasProperty ("code"))
            return object->getProperty ("code").toString() == "web_installer_outdated" ? ManifestVerdict::outdated
                                                                                      : ManifestVerdict::unknownCode;

        const auto fileList = object->getProperty ("files");

        if (! fileList.isArray())
            return ManifestVerdict::noFileList;

        // A manifest is usable only when every file it lists would land inside the product folder.
        for (const auto& element : *fileList.getArray())
            if (element.getDynamicObject() != nullptr && ! isSafeFileName (manifestText (element["filename"])))
                return ManifestVerdict::unsafeFileName;

        return ManifestVerdict::fileList;
    }

    juce::String loadManifestText (const juce::File& copy)
    {
        juce::FileInputStream in (copy);

        if (! in.openedOk())
            return {};

        juce::MemoryBlock bytes;

        if (in.readIntoMemoryBlock (bytes, maxManifestBytes + 1) > (size_t) maxManifestBytes)
            return {};

        return velm::decodeText (bytes.getData(), bytes.getSize());
    }
}

namespace
{
    const juce::String jsonResponseInvalid = juce::String ("JSON response invalid. Please try again or contact velm support for help: ")
                                           + velm::supportEmailAddress;
}

void MainComponent::startManifestDownload()
{
    // Without a temporary folder of the user's own there is no copy, and the request fails as
    // one whose copy cannot be opened does.
    const auto temporaryFolder = velm::userTemporaryFolder();
    manifestFile = temporaryFolder == juce::File()
                     ? juce::File()
                     : juce::File (temporaryFolder.getFullPathName() + juce::File::getSeparatorString()
                                     + productName + "Downloader.json");

    if (manifestFile.existsAsFile())
        manifestFile.deleteFile();

    if (manifestUrl.isEmpty())
    {
        showErrorDialog ("URL Error",
                         juce::String ("JSON URL is empty. Please contact velm support for help: ") + velm::supportEmailAddress,
                         true);
        return;
    }

    startTimer (stateTimerId, 10);

    const juce::URL configuredUrl (manifestUrl);
    const auto requestUrl = configuredUrl.withParameter ("web_installer_version", juce::String (webInstallerVersion));

    if (configuredUrl.toString (false).isEmpty())
    {
        recordManifestError ("URL Error",
                             juce::String ("JSON URL is empty or not correct. Please contact velm support for help: ")
                                 + velm::supportEmailAddress);
        return;
    }

    // The request waits for its answer (a name lookup, a connection, the headers) on a worker of
    // its own: on the message thread it would hold every window event meanwhile, a close
    // included, for as long as a server or a name server keeps it waiting.
    manifestRequest = std::make_unique<velm::RequestWorker> ("Manifest request", [this, requestUrl]
    {
        requestManifest (requestUrl);
    });

    // Without a thread the request is never sent: as far as the run can tell, nothing answered.
    if (! manifestRequest->hasStarted())
        recordUnansweredManifest();
}

void MainComponent::requestManifest (const juce::URL& requestUrl)
{
    std::unique_ptr<juce::URL::DownloadTask> previous;
    bool answered;

    {
        const juce::ScopedLock sl (taskLock);
        previous = std::move (manifestTask);
        // The manifest says what is run in the end, digests included: asked for over https, it is
        // never read from a plain request that anyone on its path could answer. The files need
        // no such rule, since each must match the digest that the manifest gave.
        manifestTask = velm::DownloadTask::start (requestUrl, manifestFile, this,
                                                  velm::defaultDownloadTimeoutMs, velm::maxManifestBytes,
                                                  velm::DownloadTask::Redirects::keepingHttps,
                                                  [this] { return isEnding(); });
        answered = manifestTask != nullptr;
    }

    previous.reset();

    // Nothing answered: the run cannot go on, so it ends in a box instead of waiting forever on
    // "initializing ...". A run that is ending has given up waiting, and shows nothing.
    if (! answered && ! isEnding())
        recordUnansweredManifest();
}

void MainComponent::recordUnansweredManifest()
{
    recordFatalError ("Connection Error ", "Could not connect to server");
}

bool MainComponent::isManifestTask (juce::URL::DownloadTask* task)
{
    const juce::ScopedLock sl (taskLock);
    return task == manifestTask.get();
}

void MainComponent::recordManifestError (const juce::String& title, const juce::String& message)
{
    pendingError->title = title;
    pendingError->message = message;
    setState (DownloaderState::manifestError);
}

void MainComponent::parseManifest()
{
    if (! manifestFile.existsAsFile())
    {
        recordManifestError ("JSON Error",
                             juce::String ("Could not find JSON file. Please try again or contact velm support for help: ")
                                 + velm::supportEmailAddress);
        return;
    }

    // A text nested too deep to be parsed safely counts as no JSON object, as an invalid text does.
    manifestJson = velm::parseJson (velm::loadManifestText (manifestFile));
    const auto verdict = velm::readManifest (manifestJson);

    if (verdict == velm::ManifestVerdict::notAnObject)
    {
        int statusCode = 0;

        {
            const juce::ScopedLock sl (taskLock);

            if (manifestTask != nullptr)
                statusCode = manifestTask->statusCode();
        }

        if (statusCode == 200)
            recordManifestError ("JSON Error",
                                 "JSON file invalid Error Code: " + juce::String (statusCode)
                                     + ". Please try again or contact velm support for help: " + velm::supportEmailAddress);
        else
            recordManifestError ("Server Error", "Server responded with error code: " + juce::String (statusCode));

        return;
    }

    if (verdict == velm::ManifestVerdict::outdated)
    {
        webInstallerUrl = manifestJson["web_installer_url"].toString();
        recordManifestError ("Downloader Outdated",
                             "The current downloader is outdated. Please download a new downloader from the velm Website");
        return;
    }

    if (verdict == velm::ManifestVerdict::unknownCode)
    {
        // An answer that this downloader does not understand is reported rather than leaving
        // the window on "initializing ..." for ever.
        recordManifestError ("JSON Error", jsonResponseInvalid);
        return;
    }

    // The product folder is made before the list of files is looked at, and stays when the list
    // turns out to be unusable.
    if (! prepareDownloadFolder())
        return;

    if (verdict != velm::ManifestVerdict::fileList)
    {
        recordManifestError ("JSON Error", jsonResponseInvalid);
        return;
    }

    const auto fileList = manifestJson["files"];

    for (const auto& element : *fileList.getArray())
        addFileEntry (element);

    checkExistingFilesAndStart();
}
