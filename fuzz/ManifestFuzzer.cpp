// Hostile manifests, up to the file records: whatever a server answers, reading it must not
// crash, and a manifest that is accepted must keep every file inside the product folder.

#include "download/FileEntry.h"
#include "download/ManifestReading.h"
#include "json/BoundedJson.h"

#include "fuzz/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    velmfuzz::releasePooledNames();

    // As the run reads its copy of the answer: any bytes, decoded as a file's text, then parsed
    // within the guard's bounds.
    const auto manifest = velm::parseJson (velmfuzz::decodeAsTheProgramDoes (data, size));
    const auto verdict = velm::readManifest (manifest);

    if (verdict != velm::ManifestVerdict::fileList)
        return 0;

    const juce::File productFolder ("/nonexistent/velm-fuzz/Product");
    const auto fileList = manifest["files"];
    juce::int64 totalBytes = 0;

    for (const auto& element : *fileList.getArray())
    {
        const auto entry = velm::makeFileEntry (element, productFolder);

        if (entry == nullptr)
            continue;

        // Nothing of an accepted manifest may be written anywhere but directly in the folder.
        if (juce::File (entry->localFile).getParentDirectory() != productFolder)
            std::abort();

        // As the run adds up the release's size: a real size never lowers the total, and no
        // size overflows it.
        const auto before = totalBytes;
        totalBytes = velm::addToTotal (totalBytes, entry->filesize);

        if (totalBytes < before || velm::bytesAllowed (entry->filesize) < 0)
            std::abort();
    }

    return 0;
}
