#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

namespace velm
{
    /** Bytes from outside (a server's answer, a file someone else wrote) as text, decoded as the
        framework decodes a file's text: UTF-16 after its byte-order mark, else UTF-8 with or
        without its mark, else Windows-1252 (a lone byte as the character of its code); a NUL
        ends the text.

        juce::String::createStringFromData does exactly this, but for bytes that are a UTF-8
        byte-order mark and nothing else: it skips the mark and then looks at the byte after it,
        one past the end (and then makes the empty text, whatever it found there). Here such bytes
        give the empty text without that read, and every other input is handed to the framework
        as it stands. */
    juce::String decodeText (const void* data, size_t numBytes);
}
