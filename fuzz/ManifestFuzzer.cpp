// Hostile manifests, up to the file records: whatever a server answers, reading it must not
// crash, and a manifest that is accepted must keep every file inside the product folder.

#include "download/FileEntry.h"
#include "download/ManifestReading.h"

#include "fuzz/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    velmfuzz::releasePooledNames();

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
