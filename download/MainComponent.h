#pragma once

#include "download/FileEntry.h"
#include "download/RequestWorker.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <memory>

namespace velm
{
    /** The percentage line: the done fraction in whole percent, rounded half to even, never
        below 0, and 0 when the total is 0. */
    juce::String percentageText (juce::int64 bytesDone, juce::int64 bytesTotal);

    /** The size line: "<done> of <total>" in the framework's size text. */
    juce::String sizeText (juce::int64 bytesDone, juce::int64 bytesTotal);
}

/** State of the whole download run. */
enum class DownloaderState : int
{
    idle          = 0,
    downloading   = 8,
    checkingFiles = 9,
    manifestError = 11,
    fatalError    = 12
};

/** An error of the manifest stage, waiting for the state timer to show it. */
struct PendingError
{
    juce::String message;
    juce::String title;
    int code = 0;
    bool shown = false;
};

/** The window's content: owns one whole download run, from the download-location question to
    the launch of the file that the release marks to be run.

    Threads: the message thread runs the dialogs and every timer; the manifest's request is made,
    and its answer awaited, on a worker of its own; each download task runs its own worker, on
    which progress() and finished() arrive and, for the manifest, everything up to the first
    file's request. The workers publish what they did through the run's state, the
    records' states and the counters, which are atomics: texts are written first and the state
    that announces them is stored last with release ordering; the timers load the state with
    acquire ordering before they read the texts. */
class MainComponent : public juce::Component,
                      public juce::URL::DownloadTaskListener,
                      public juce::MultiTimer
{
public:
    explicit MainComponent (const juce::var& config);
    ~MainComponent() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    void finished (juce::URL::DownloadTask* task, bool success) override;
    void progress (juce::URL::DownloadTask* task, juce::int64 bytesDownloaded, juce::int64 totalLength) override;

    void timerCallback (int timerID) override;

    /** The first step of a run: asks where the files shall go. */
    void askDownloadLocation();

    /** Fills target from a colour text "#AARRGGBB" and returns true; leaves it alone and returns
        false when the text does not begin with "#" or its alpha is zero. */
    static bool parseColour (juce::Colour& target, const juce::String& text);

    //==============================================================================
    // Read-only views for the window's tests and tools.
    DownloaderState getState() const noexcept       { return state.load (std::memory_order_acquire); }
    int getFileCount() const noexcept               { return fileCount.load (std::memory_order_acquire); }
    int getVerifiedCount() const noexcept           { return verifiedCount.load (std::memory_order_acquire); }
    juce::int64 getTotalBytes() const noexcept      { return totalBytes.load (std::memory_order_acquire); }
    double getProgressValue() const noexcept        { return progressValue; }
    const juce::File& getDownloadFolder() const     { return downloadBaseFolder; }
    const FileEntry* getFileEntry (int index) const { return files[index]; }

private:
    //==============================================================================
    // Window content
    void buildUi (const juce::var& config);
    void updateProgressDisplay();

    // Download location
    void chooseCustomFolder();
    void askDefaultOrQuit();
    void startRun();

    // Manifest
    void startManifestDownload();
    void requestManifest (const juce::URL& requestUrl);
    void recordUnansweredManifest();
    void parseManifest();
    void recordManifestError (const juce::String& title, const juce::String& message);

    // File records
    void addFileEntry (const juce::var& element);

    // Download folder and pre-download checks
    bool prepareDownloadFolder();
    bool checkDiskSpace (juce::int64 bytesNeeded);
    void checkExistingFilesAndStart();
    void recordFatalError (const juce::String& title, const juce::String& message);

    // File downloads
    void startNextFile();
    void startFileDownload (int index);
    bool retryFile (FileEntry* entry);
    int findFileIndexForTask (juce::URL::DownloadTask* task);
    bool verifyFile (int index);
    bool verifyAndMarkFile (int index);
    bool isManifestTask (juce::URL::DownloadTask* task);

    // Timers and completion
    void stateTick();
    void interfaceTick();
    void fileTick (int index);
    void showManifestErrorDialog();
    void showErrorDialog (const juce::String& title, const juce::String& message, bool quitWhenClosed);
    void stopAllTimers();
    void runAfterDownload();

    void setState (DownloaderState newState) noexcept  { state.store (newState, std::memory_order_release); }

    /** True once the component is being destroyed: the workers then ask for nothing more, give
        up waiting for the answer to a request, and stop the digest that they are working out. */
    bool isEnding() const noexcept  { return ending.load (std::memory_order_acquire); }

    //==============================================================================
    juce::String productName;
    juce::String macInstallerExtension;
    juce::String manifestUrl;
    juce::var manifestJson;
    juce::String currentFileUrl;
    juce::File downloadBaseFolder;
    juce::File manifestFile;

    std::unique_ptr<juce::Label> statusLabel, sizeLabel, amountLabel, productNameLabel;
    std::unique_ptr<juce::ProgressBar> progressBar;
    std::unique_ptr<juce::FileChooser> folderChooser;
    std::unique_ptr<PendingError> pendingError;

    juce::Colour pbBgColour             { 0xff292929 };
    juce::Colour pbFColour              { 0xff2196f3 };
    juce::Colour mainBgColour           { 0xff333333 };
    juce::Colour sizeLabelColour        { 0xff7a7a7a };
    juce::Colour productNameLabelColour { 0xffffffff };

    double progressValue = 0.0;
    std::atomic<juce::int64> totalBytes { 0 };
    juce::int64 downloadedBytes = 0;
    const int webInstallerVersion = 1;
    std::atomic<int> verifiedCount { 0 };
    const int maxRetries = 2;
    std::atomic<int> fileCount { 0 };
    const int fileTimerIntervalMs = 1000;
    const int uiTimerId = -1;
    const int stateTimerId = -2;
    juce::String statusText;
    std::unique_ptr<juce::URL> currentFileUrlObject;

    // A task's worker starts before the call that creates it returns, so its first callbacks
    // may arrive before the task has been stored. The thread that starts a task holds taskLock
    // until the task is stored; progress() and finished() take it before they look a task up.
    juce::CriticalSection taskLock;
    std::unique_ptr<juce::URL::DownloadTask> manifestTask;
    juce::OwnedArray<juce::URL::DownloadTask> fileTasks;

    // Makes the manifest's request and waits for its answer; its job stores manifestTask.
    std::unique_ptr<velm::RequestWorker> manifestRequest;

    juce::OwnedArray<FileEntry> files;
    std::atomic<DownloaderState> state { DownloaderState::idle };
    std::atomic<bool> ending { false };
    std::atomic<int> currentIndex { 0 };
    juce::String errorTitle, errorMessage;
    juce::String webInstallerUrl;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
