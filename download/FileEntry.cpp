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

    totalBytes.store (velm::truncateToInt64 ((double) getTotalBytes() + entry->filesize), std::memory_order_release);

    entry->index = files.size();
    files.add (entry.release());
    fileCount.store (files.size(), std::memory_order_release);
}
