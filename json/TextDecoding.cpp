#include "json/TextDecoding.h"

#include <limits>

namespace velm
{
    juce::String decodeText (const void* data, size_t numBytes)
    {
        // The framework counts a string's bytes in an int; no caller reads that much.
        if (data == nullptr || numBytes == 0 || numBytes > (size_t) std::numeric_limits<int>::max())
            return {};

        // Past the mark, the framework looks at the first byte of the text to see whether the
        // text is empty: with nothing after the mark, that byte is not the caller's.
        if (numBytes == 3 && juce::CharPointer_UTF8::isByteOrderMark (data))
            return {};

        return juce::String::createStringFromData (data, (int) numBytes);
    }
}
