#include "download/MainComponent.h"

#include "download/FileDigest.h"
#include "download/SupportAddress.h"
#include "platform/DownloadTask.h"

namespace
{
    bool isServerErrorStatus (int status) noexcept   { return status >= 500 && status <= 599; }

    juce::String downloadErrorMessage (int status, const char* advice)
    {
        return "An error occured during download Code: " + juce::String (status) + ". \n" + advice
             + " velm support for help: " + velm::supportEmailAddress;
    }
}

void MainComponent::startNextFile()
{
    const auto index = currentIndex.load (std::memory_order_acquire);

    if (index > getFileCount() - 1)
        return;

    setState (DownloaderState::downloading);

    if (! isTimerRunning (uiTimerId))
        return;

    startFileDownload (index);

    // A box raised by the request itself has stopped the interface timer: the failure is then
    // reported by that box alone.
    if (isTimerRunning (uiTimerId))
        startTimer (currentIndex.load (std::memory_order_acquire), fileTimerIntervalMs);
}

void MainComponent::startFileDownload (int index)
{
    // A run that is ending asks for nothing more: a request can take the whole download timeout
    // to be answered.
    if ((unsigned int) index >= (unsigned int) files.size() || isEnding())
        return;

    auto* entry = files[index];

    if (entry == nullptr || entry->getState() == FileState::verified)
        return;

    currentFileUrl = entry->url;
    currentFileUrlObject = std::make_unique<juce::URL> (currentFileUrl);

    if (currentFileUrlObject->toString (false).isEmpty())
    {
        entry->errorMessage = juce::String ("Part Url is empty or not correct. Please contact velm support for help: ")
                            + velm::supportEmailAddress;
        entry->setState (FileState::urlError);
        showErrorDialog ("URL Error ", entry->errorMessage, true);
        return;
    }

    std::unique_ptr<juce::URL::DownloadTask> refused;

    {
        // Held until the task is stored, so that its callbacks find it, however quickly the
        // transfer ends.
        const juce::ScopedLock sl (taskLock);

        // Bounded by the record's size: an answer without a length matches a size of -1, and
        // its body must not then fill the disk.
        auto task = velm::DownloadTask::start (*currentFileUrlObject, juce::File (entry->localFile), this,
                                               velm::defaultDownloadTimeoutMs, velm::bytesAllowed (entry->filesize),
                                               velm::DownloadTask::Redirects::toWebAddresses,
                                               [this] { return isEnding(); });

        if (task == nullptr && isEnding())
            return;

        if (task == nullptr)
        {
            entry->errorMessage = "Could not connect to server";
            entry->setState (FileState::connectionError);
            return;
        }

        if ((double) task->getTotalLength() == entry->filesize)
        {
            entry->task = task.get();
            fileTasks.add (task.release());
            return;
        }

        refused = std::move (task);
    }

    // Deleted outside the lock: its worker may be waiting for the lock and must get it to end.
    const auto status = refused->statusCode();
    refused.reset();

    if (status == 0)
    {
        entry->errorMessage = "Could not connect to server";
        entry->setState (FileState::connectionError);
        return;
    }

    entry->httpStatus = status;
    entry->errorMessage = downloadErrorMessage (status, "Please contact");
    entry->setState (FileState::httpError);

    if (isServerErrorStatus (status) && retryFile (entry))
        return;

    showErrorDialog ("Download Error ", entry->errorMessage, true);
}

bool MainComponent::retryFile (FileEntry* entry)
{
    if (entry == nullptr || entry->retryCount >= maxRetries)
        return false;

    stopTimer (entry->index);

    ++entry->retryCount;
    entry->setState (FileState::retrying);
    currentIndex.store (entry->index, std::memory_order_release);

    startNextFile();
    return true;
}

void MainComponent::progress (juce::URL::DownloadTask* task, juce::int64 bytesDownloaded, juce::int64)
{
    const juce::ScopedLock sl (taskLock);

    if (! fileTasks.contains (task))
        return;

    if (auto* entry = files[findFileIndexForTask (task)])
        entry->setDownloadedBytes (bytesDownloaded);
}

void MainComponent::finished (juce::URL::DownloadTask* task, bool success)
{
    if (task == nullptr)
        return;

    if (isManifestTask (task))
    {
        if (success)
        {
            parseManifest();
        }
        else
        {
            // A manifest that broke off is reported like a file that broke off.
            stopTimer (stateTimerId);
            showErrorDialog ("Download Error ", downloadErrorMessage (task->statusCode(), "Please try again or contact"), true);
        }

        return;
    }

    int index;

    {
        const juce::ScopedLock sl (taskLock);
        index = findFileIndexForTask (task);
    }

    auto* entry = files[index];

    if (entry == nullptr)
        return;

    if (success)
    {
        entry->setState (FileState::downloaded);

        if (verifyAndMarkFile (index))
            return;

        entry->errorMessage = juce::String ("Please try again or contact velm support for help: ") + velm::supportEmailAddress;
        entry->setState (FileState::corrupted);
    }
    else
    {
        entry->httpStatus = task->statusCode();
        entry->errorMessage = downloadErrorMessage (entry->httpStatus, "Please try again or contact");
        entry->setState (FileState::httpError);
    }
}

int MainComponent::findFileIndexForTask (juce::URL::DownloadTask* task)
{
    const juce::ScopedLock sl (taskLock);

    for (int i = 0; i < files.size(); ++i)
        if (files.getUnchecked (i)->task == task)
            return i;

    return -1;
}

bool MainComponent::verifyFile (int index)
{
    auto* entry = files[index];

    if (entry == nullptr)
        return false;

    entry->setState (FileState::verifying);

    const juce::File file (entry->localFile);

    if (entry->localFile.isEmpty() || ! file.existsAsFile())
        return false;

    setState (DownloaderState::checkingFiles);

    // The cheap test first: a file of the wrong size is never read.
    if ((double) file.getSize() != entry->filesize)
        return false;

    // An unreadable file gives no digest at all, which no manifest text (not even an empty one)
    // may match.
    const auto digest = velm::sha256OfFile (file, [this] { return isEnding(); });

    if (digest.isEmpty() || digest != entry->checksumSha256)
        return false;

    // The whole size is counted before the file is, so that a display that sees every file
    // verified also sees every byte.
    entry->setDownloadedBytes (velm::truncateToInt64 (entry->filesize));
    entry->setState (FileState::verified);
    verifiedCount.fetch_add (1, std::memory_order_acq_rel);
    return true;
}

bool MainComponent::verifyAndMarkFile (int index)
{
    if ((unsigned int) index >= (unsigned int) files.size() || files[index] == nullptr)
        return false;

    if (! verifyFile (index))
        return false;

    auto* entry = files.getUnchecked (index);
    entry->setDownloadedBytes (velm::truncateToInt64 (entry->filesize));
    entry->setState (FileState::verified);
    return true;
}
