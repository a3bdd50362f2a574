// Hostile manifests, up to the file records: whatever a server answers, reading it must not
// crash, and a manifest that is accepted must keep every file inside the product folder.

#include "download/FileEntry.h"
#include "download/ManifestReading.h"

#include <cstdlib>

namespace
{
    /** Every key that a parsed text holds goes into the framework's shared pool of names, which
        keeps them for a while after their last use; with this many texts the pool is emptied
        here rather than on the framework's own schedule. */
    void releasePooledNames()
    {
        static int count = 0;

        if (++count % 1000 == 0)
            juce::StringPool::getGlobalPool().garbageCollect();
    }
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    releasePooledNames();

    const auto manifest = juce::JSON::parse (juce::String::fromUTF8 (reinterpret_cast<const char*> (data), (int) size));
    const auto verdict = velm::readManifest (manifest);

    if (verdict != velm::ManifestVerdict::fileList)
        return 0;

    const juce::File productFolder ("/nonexistent/velm-fuzz/Product");
    const auto fileList = manifest["files"];
    double totalBytes = 0;

    for (const auto& element : *fileList.getArray())
    {
        const auto entry = velm::makeFileEntry (element, productFolder);

        if (entry == nullptr)
            continue;

        // Nothing of an accepted manifest may be written anywhere but directly in the folder.
        if (juce::File (entry->localFile).getParentDirectory() != productFolder)
            std::abort();

        totalBytes += entry->filesize;
        (void) velm::truncateToInt64 (totalBytes);
    }

    return 0;
}
