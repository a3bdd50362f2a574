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

    /** The most of a manifest answer that is ever written or read: a longer answer is a
        transfer that broke off. A release manifest takes a few hundred bytes per file, so this
        is room for tens of thousands of files; the memory that reading it takes stays within a
        small multiple of it, since the number of values that are parsed has a bound of its own
        (maxJsonValues). */
    constexpr juce::int64 maxManifestBytes = 8 * 1024 * 1024;

    /** The manifest copy as text, read the way the framework reads a file as text, or the empty
        text when the copy is longer than maxManifestBytes (it is then never loaded whole). */
    juce::String loadManifestText (const juce::File& copy);
}
