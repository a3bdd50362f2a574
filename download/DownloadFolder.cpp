#include "download/MainComponent.h"

#include "platform/OwnFolder.h"

namespace
{
    juce::String folderPermissionMessage (const juce::String& folderName)
    {
        return "Make sure that you have a " + folderName + " folder and you have permission to read and write to this folder";
    }
}

void MainComponent::recordFatalError (const juce::String& title, const juce::String& message)
{
    errorTitle = title;
    errorMessage = message;
    setState (DownloaderState::fatalError);
}

bool MainComponent::prepareDownloadFolder()
{
    if (! downloadBaseFolder.hasWriteAccess())
    {
        recordFatalError ("Permission Denied", folderPermissionMessage (downloadBaseFolder.getFileName()));
        return false;
    }

    downloadBaseFolder = juce::File (downloadBaseFolder.getFullPathName() + juce::File::getSeparatorString() + productName);
    const auto baseFolderName = downloadBaseFolder.getParentDirectory().getFileName();

    // A link in its place that leads nowhere, or that the system refuses to follow (one of
    // another user's, say), is no folder that could not be made: it is looked at below.
    if (! downloadBaseFolder.exists() && ! downloadBaseFolder.isSymbolicLink())
    {
        const auto result = downloadBaseFolder.createDirectory();

        if (result.failed())
        {
            recordFatalError (result.getErrorMessage(), folderPermissionMessage (baseFolderName));
            return false;
        }
    }

    // Where every user may write, as in /tmp, another user may have made the product folder (or
    // a link of that name) first, also in the moment between the look above and its creation:
    // that user could then read the files, and replace the one that is opened at the end.
    if (! velm::isUsersOwnFolder (downloadBaseFolder))
    {
        recordFatalError ("Permission Denied", folderPermissionMessage (baseFolderName));
        return false;
    }

    return true;
}

bool MainComponent::checkDiskSpace (juce::int64 bytesNeeded)
{
    if (downloadBaseFolder.getBytesFreeOnVolume() >= bytesNeeded)
        return true;

    recordFatalError ("Not Enough Space",
                      "You need to have at least " + juce::File::descriptionOfSizeInBytes (bytesNeeded)
                          + " free in your drive to be able to download.");
    return false;
}

void MainComponent::checkExistingFilesAndStart()
{
    startTimer (uiTimerId, 500);
    setState (DownloaderState::checkingFiles);

    // verifyFile marks a match with its whole size, so afterwards the records' byte counts add
    // up to what is already complete on disk.
    for (int i = 0; i < files.size() && ! isEnding(); ++i)
        verifyFile (i);

    // Both counts lie between 0 and the 64-bit maximum, so the need cannot overflow.
    const auto bytesDone = velm::sumOfDownloadedBytes (files);

    if (! checkDiskSpace (getTotalBytes() - bytesDone))
        return;

    stopTimer (stateTimerId);
    startNextFile();
}
