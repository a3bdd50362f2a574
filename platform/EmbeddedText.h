#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** The largest number of characters that the configuration reader delivers; a longer text
        is cut, exactly as a 1024-character buffer with its terminating zero would cut it. */
    constexpr size_t maxStringResourceLength = 1023;

    /** Turns the raw bytes of a string resource into text the way an 8-bit string-table read
        does: it stops at the first zero byte or after maxStringResourceLength bytes, and each
        byte becomes the character with the same number (Latin-1). */
    juce::String decodeStringResource (const char* bytes, size_t numBytes);

    /** The configuration text compiled into this executable; empty when the product was built
        without one. */
    juce::String loadEmbeddedConfigurationText();

    /** The typeface data compiled into the executable. */
    const void* getEmbeddedFontData() noexcept;
    size_t getEmbeddedFontSize() noexcept;
}
