#include "download/FileEntry.h"
#include "download/MainComponent.h"

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

void MainComponent::addFileEntry (const juce::var& element)
{
    auto* object = element.getDynamicObject();

    if (object == nullptr)
        return;

    auto entry = std::make_unique<FileEntry>();

    entry->url = velm::manifestText (object->getProperty ("url"));
    entry->filename = velm::manifestText (object->getProperty ("filename"));
    entry->filesize = velm::manifestSize (object->getProperty ("filesize"));
    totalBytes.store (velm::truncateToInt64 ((double) getTotalBytes() + entry->filesize), std::memory_order_release);
    entry->checksumSha256 = velm::manifestText (object->getProperty ("checksum_sha256"));
    entry->runAfterDownload = velm::manifestFlag (object->getProperty ("run_after_download"));

    entry->localFile = downloadBaseFolder.getFullPathName() + juce::File::getSeparatorString() + entry->filename;

    entry->index = files.size();
    files.add (entry.release());
    fileCount.store (files.size(), std::memory_order_release);
}
