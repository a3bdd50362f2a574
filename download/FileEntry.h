#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <memory>

/** Where one file of the release stands. Shares its numbering with DownloaderState: a file takes
    0 to 7 and 10, the run 0, 8, 9, 11 and 12. */
enum class FileState : int
{
    pending         = 0,
    verified        = 1,
    corrupted       = 2,
    httpError       = 3,
    urlError        = 4,
    connectionError = 5,
    downloaded      = 6,
    retrying        = 7,
    verifying       = 10
};

/** One file of the release, built from one element of the manifest's "files".

    The download threads write state, httpStatus, errorMessage and downloadedBytes while the
    timers on the message thread read them. A writer sets the texts and the status first and
    publishes them by storing the state with release ordering; a reader loads the state with
    acquire ordering before it looks at them. */
struct FileEntry
{
    juce::String url;
    juce::String filename;
    double filesize = 0.0;
    std::atomic<juce::int64> downloadedBytes { 0 };
    juce::String checksumSha256;
    juce::String localFile;
    juce::String errorMessage;
    int httpStatus = 0;
    std::atomic<FileState> state { FileState::pending };
    int retryCount = 0;
    juce::URL::DownloadTask* task = nullptr;   // owned by the component's fileTasks
    bool runAfterDownload = false;
    int index = -1;

    FileState getState() const noexcept                  { return state.load (std::memory_order_acquire); }
    void setState (FileState newState) noexcept          { state.store (newState, std::memory_order_release); }

    juce::int64 getDownloadedBytes() const noexcept      { return downloadedBytes.load (std::memory_order_acquire); }
    void setDownloadedBytes (juce::int64 n) noexcept     { downloadedBytes.store (n, std::memory_order_release); }
};

namespace velm
{
    /** The conversions that a record applies to the values of one manifest element. */
    juce::String manifestText (const juce::var& value);
    double manifestSize (const juce::var& value);
    bool manifestFlag (const juce::var& value);

    /** The integer part of a size, held within the 64-bit range. */
    juce::int64 truncateToInt64 (double value) noexcept;

    /** The most bytes that a file of this size may take on disk: the integer part of the size,
        and none for a size that is negative or not a number. A download never writes past it. */
    juce::int64 bytesAllowed (double size) noexcept;

    /** The release's total once a file of this size is added to it: the integer part of the
        double-precision sum, held within the 64-bit range. A size that is negative or not a
        number adds nothing. */
    juce::int64 addToTotal (juce::int64 total, double size) noexcept;

    /** What the records count as downloaded, added up and held within the 64-bit range. */
    juce::int64 sumOfDownloadedBytes (const juce::OwnedArray<FileEntry>& files) noexcept;

    /** True for a "filename" that names a file directly inside the product folder: not empty,
        not "." or "..", and without a separator ("/" or "\", so that no name begins at the root
        either) or an ASCII control character (below 0x20, or 0x7f), which no file name should
        hold. A separator or a dot name would make the download write outside that folder. */
    bool isSafeFileName (const juce::String& filename);

    /** The record of one element of the manifest's "files", stored in folder; none for an
        element that is not a JSON object. Its index is the list's to set. */
    std::unique_ptr<FileEntry> makeFileEntry (const juce::var& element, const juce::File& folder);
}
