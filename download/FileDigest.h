#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace velm
{
    /** The SHA-256 digest of a file's whole content, as 64 lower-case hexadecimal digits.

        The file is streamed in large blocks and never held in memory whole. shouldStop, when
        given, is asked before each block: a file of gigabytes takes seconds to read, and a run
        that is ending must not wait for it. Returns an empty text when the file cannot be opened
        or read to its end, or the reading was stopped, so that such a file can never match a
        digest. */
    juce::String sha256OfFile (const juce::File& file, const std::function<bool()>& shouldStop = {});

    /** The same digest of a block of memory (for tools and tests). */
    juce::String sha256OfData (const void* data, size_t numBytes);
}
