#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** The SHA-256 digest of a file's whole content, as 64 lower-case hexadecimal digits.

        The file is streamed in large blocks and never held in memory whole. Returns an empty
        text when the file cannot be opened or read to its end, so that an unreadable file can
        never match a digest. */
    juce::String sha256OfFile (const juce::File& file);

    /** The same digest of a block of memory (for tools and tests). */
    juce::String sha256OfData (const void* data, size_t numBytes);
}
