#include "download/FileEntry.h"
#include "download/MainComponent.h"

#include <limits>

namespace velm
{
    juce::String manifestText (const juce::var& value)  { return value.toString(); }
    double manifestSize (const juce::var& value)        { return static_cast<double> (value); }
    bool manifestFlag (const juce::var& value)          { return static_cast<bool> (value); }

    juce::int64 truncateToInt64 (double value) noexcept
    {
        // A manifest may give any number; outside the 64-bit range the conversion would be
        // undefined, so such sizes stop at the range's ends.
        constexpr double limit = 9223372036854775807.0;

        if (value != value)
            return 0;

        if (value >= limit)
            return std::numeric_limits<juce::int64>::max();

        if (value <= -limit)
            return std::numeric_limits<juce::int64>::min();

        return static_cast<juce::int64> (value);
    }

    juce::int64 bytesAllowed (double size) noexcept
    {
        // A NaN fails the comparison too.
        return size > 0 ? truncateToInt64 (size) : 0;
    }

    juce::int64 addToTotal (juce::int64 total, double size) noexcept
    {
        // No file takes less than nothing: a negative size would lower the free space that the
        // run asks for, and a NaN would wipe out the sizes counted before it.
        if (! (size >= 0))
            return total;

        // Summed in double precision, as totals have always been, so that fractional sizes add
        // up as before.
        return truncateToInt64 ((double) total + size);
    }

    juce::int64 sumOfDownloadedBytes (const juce::OwnedArray<FileEntry>& files) noexcept
    {
        juce::int64 sum = 0;

        for (auto* entry : files)
        {
            const auto bytes = entry->getDownloadedBytes();

            if (__builtin_add_overflow (sum, bytes, &sum))
                sum = bytes > 0 ? std::numeric_limits<juce::int64>::max() : std::numeric_limits<juce::int64>::min();
        }

        return sum;
    }

    bool isSafeFileName (const juce::String& filename)
    {
        if (filename.isEmpty() || filename == "." || filename == "..")
            return false;

        for (auto c : filename)
            if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)
                return false;

        return true;
    }
}

std::unique_ptr<FileEntry> velm::makeFileEntry (const juce::var& element, const juce::File& folder)
{
    auto* object = element.getDynamicObject();

    if (object == nullptr)
        return nullptr;

    auto entry = std::make_unique<FileEntry>();

    entry->url = manifestText (object->getProperty ("url"));
    entry->filename = manifestText (object->getProperty ("filename"));
    entry->filesize = manifestSize (object->getProperty ("filesize"));
    entry->checksumSha256 = manifestText (object->getProperty ("checksum_sha256"));
    entry->runAfterDownload = manifestFlag (object->getProperty ("run_after_download"));

    // Joined as it stands: the manifest's names have been checked as a whole before.
    entry->localFile = folder.getFullPathName() + juce::File::getSeparatorString() + entry->filename;
    return entry;
}

void MainComponent::addFileEntry (const juce::var& element)
{
    auto entry = velm::makeFileEntry (element, downloadBaseFolder);

    if (entry == nullptr)
        return;

    totalBytes.store (velm::addToTotal (getTotalBytes(), entry->filesize), std::memory_order_release);

    entry->index = files.size();
    files.add (entry.release());
    fileCount.store (files.size(), std::memory_order_release);
}
