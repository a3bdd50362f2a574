#include "download/MainComponent.h"

#include "platform/MessageBoxes.h"
#include "platform/ShellOpen.h"

#include <cstdio>

namespace
{
    void requestQuit()
    {
        juce::JUCEApplication::getInstance()->systemRequestedQuit();
    }
}

void MainComponent::timerCallback (int timerID)
{
    if (timerID == stateTimerId)
        stateTick();
    else if (timerID == uiTimerId)
        interfaceTick();
    else
        fileTick (timerID);
}

void MainComponent::stateTick()
{
    if (getState() == DownloaderState::downloading)
        stopTimer (stateTimerId);

    if (getState() == DownloaderState::manifestError)
    {
        stopTimer (stateTimerId);

        const auto& message = pendingError->message;
        std::fwrite (message.toRawUTF8(), 1, message.getNumBytesAsUTF8(), stdout);
        std::fflush (stdout);

        showManifestErrorDialog();
    }

    if (getState() == DownloaderState::fatalError)
    {
        stopTimer (stateTimerId);
        showErrorDialog (errorTitle, errorMessage, true);
    }
}

void MainComponent::interfaceTick()
{
    if (getState() == DownloaderState::idle)
        stopTimer (stateTimerId);

    statusText = "Downloading ...";

    if (getVerifiedCount() == getFileCount())
    {
        stopTimer (uiTimerId);
        statusText = "Download done ...";
        updateProgressDisplay();
        progressValue = 1.0;
        runAfterDownload();
        updateProgressDisplay();
        return;
    }

    updateProgressDisplay();
}

void MainComponent::fileTick (int index)
{
    auto* entry = files[index];

    if (entry == nullptr)
        return;

    switch (entry->getState())
    {
        case FileState::verified:
            stopTimer (index);
            currentIndex.fetch_add (1, std::memory_order_acq_rel);
            startNextFile();
            break;

        case FileState::corrupted:
            if (retryFile (entry))
                break;

            stopTimer (index);
            showErrorDialog ("File Corrupted (" + entry->filename + ")", entry->errorMessage, true);
            break;

        case FileState::httpError:
            if (entry->httpStatus >= 500 && entry->httpStatus <= 599 && retryFile (entry))
                break;

            stopTimer (index);
            showErrorDialog ("Download Error ", entry->errorMessage, true);
            break;

        case FileState::urlError:
            stopTimer (index);
            showErrorDialog ("URL Error ", entry->errorMessage, true);
            break;

        case FileState::connectionError:
            stopTimer (index);
            showErrorDialog ("Connection Error ", entry->errorMessage, true);
            break;

        case FileState::pending:
        case FileState::downloaded:
        case FileState::retrying:
        case FileState::verifying:
            break;
    }
}

void MainComponent::showManifestErrorDialog()
{
    // The page never changes once the manifest has been read, so the box keeps its own copy and
    // needs nothing of the component, which may be gone by the time the box is closed.
    const auto page = webInstallerUrl;

    velm::showMessageBoxAsync (juce::MessageBoxOptions()
                                   .withIconType (juce::MessageBoxIconType::WarningIcon)
                                   .withTitle (pendingError->title)
                                   .withMessage (pendingError->message)
                                   .withButton ("OK")
                                   .withButton ("Cancel"),
                               [page] (int buttonIndex)
                               {
                                   const juce::URL url (page);

                                   // Only a web page is opened: any other address in the manifest
                                   // (a file, a program, a script) is left alone.
                                   if (buttonIndex == 0 && url.toString (false).isNotEmpty() && velm::isWebAddress (page))
                                       velm::openWithDefaultApplication (url.toString (true));

                                   requestQuit();
                               });
}

void MainComponent::showErrorDialog (const juce::String& title, const juce::String& message, bool quitWhenClosed)
{
    stopAllTimers();

    velm::showMessageBoxAsync (juce::MessageBoxOptions()
                                   .withIconType (juce::MessageBoxIconType::InfoIcon)
                                   .withTitle (title)
                                   .withMessage (message)
                                   .withButton ("Cancel"),
                               [quitWhenClosed] (int)
                               {
                                   if (quitWhenClosed)
                                       requestQuit();
                               });
}

void MainComponent::stopAllTimers()
{
    stopTimer (uiTimerId);

    for (int i = 0; i < getFileCount(); ++i)
        stopTimer (i);
}

void MainComponent::runAfterDownload()
{
    for (auto* entry : files)
    {
        if (entry->runAfterDownload
             && entry->getState() == FileState::verified
             && juce::File (entry->localFile).exists())
        {
            requestQuit();
            velm::openWithDefaultApplication (entry->localFile);
            return;
        }
    }
}
