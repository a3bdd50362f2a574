#include "platform/EmbeddedText.h"

#include <algorithm>
#include <vector>

// Both byte arrays are placed by the build (see cmake/VelmEmbed.cmake): the configuration by
// each product executable, the font by the library.
extern "C" const char velm_config_text[];
extern "C" const char velm_config_text_end[];
extern "C" const char velm_font_data[];
extern "C" const char velm_font_data_end[];

namespace velm
{
    juce::String decodeStringResource (const char* bytes, size_t numBytes)
    {
        if (bytes == nullptr)
            return {};

        const auto* first = reinterpret_cast<const unsigned char*> (bytes);
        const auto* last  = first + std::min (numBytes, maxStringResourceLength);
        last = std::find (first, last, static_cast<unsigned char> (0));

        // Every byte is one Latin-1 character, so the text is built from 32-bit code points
        // rather than read as UTF-8.
        std::vector<juce::juce_wchar> characters (first, last);
        characters.push_back (0);
        return juce::String (juce::CharPointer_UTF32 (characters.data()));
    }

    juce::String loadEmbeddedConfigurationText()
    {
        return decodeStringResource (velm_config_text,
                                     static_cast<size_t> (velm_config_text_end - velm_config_text));
    }

    const void* getEmbeddedFontData() noexcept   { return velm_font_data; }

    size_t getEmbeddedFontSize() noexcept
    {
        return static_cast<size_t> (velm_font_data_end - velm_font_data);
    }
}
