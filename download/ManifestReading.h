#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** What a parsed manifest answer asks of the run. */
    enum class ManifestVerdict
    {
        notAnObject,     // not a JSON object at all
        outdated,        // "code" says that this downloader is outdated
        unknownCode,     // any other "code"
        noFileList,      // no "code", and "files" is not an array
        unsafeFileName,  // a listed file would be stored outside the product folder
        fileList         // the release's files, in "files"
    };

    ManifestVerdict readManifest (const juce::var& manifest);
}
