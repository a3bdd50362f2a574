#include "download/MainComponent.h"

MainComponent::MainComponent (const juce::var& config)
{
    buildUi (config);

    downloadBaseFolder = juce::File::getSpecialLocation (juce::File::currentApplicationFile).getParentDirectory();

    setSize (560, 104);
}

MainComponent::~MainComponent()
{
    // First of all, so that a worker that is reading a file to its digest, or waiting for the
    // answer to a file's request, lets go at once: what is left of a file of gigabytes, or of a
    // server's time to answer, would hold the close for seconds.
    ending.store (true, std::memory_order_release);

    // The manifest's request goes first, since it may still store a task: once it is ending, it
    // gives up waiting for its answer within a fraction of a second.
    manifestRequest.reset();

    // The tasks go next: each deletion cancels its transfer and waits for its worker, which for
    // the manifest may still be checking files or starting the first one. Only then may the
    // records and widgets that the workers use be destroyed. The tasks are taken out under the
    // lock, which a worker may be waiting for, and deleted outside it.
    std::unique_ptr<juce::URL::DownloadTask> manifest;

    {
        const juce::ScopedLock sl (taskLock);
        manifest = std::move (manifestTask);
    }

    manifest.reset();

    juce::OwnedArray<juce::URL::DownloadTask> tasks;

    {
        const juce::ScopedLock sl (taskLock);
        tasks.swapWith (fileTasks);
    }

    tasks.clear();
}
