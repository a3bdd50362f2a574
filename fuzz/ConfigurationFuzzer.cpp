// Hostile configuration texts: the 8-bit reading, the JSON parse, the start-up check and the
// colour rule must take any bytes without crashing, and keep their promises.

#include "app/Configuration.h"
#include "download/MainComponent.h"
#include "platform/EmbeddedText.h"

#include "fuzz/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    velmfuzz::releasePooledNames();

    const auto text = velm::decodeStringResource (reinterpret_cast<const char*> (data), size);

    if ((size_t) text.length() > velm::maxStringResourceLength)
        std::abort();

    const auto config = velm::parseConfiguration (text);

    if (! velm::isValidConfiguration (config))
        return 0;

    // The values a valid configuration hands to the window, as the window reads them.
    (void) config["productName"].toString();
    (void) config["download"]["url"].toString();

    const auto colours = config["colors"];

    for (auto* key : { "pbF", "pbBg", "mainBg", "sizeLabel", "productNameLabel" })
    {
        const auto colourText = colours[key].toString();
        juce::Colour colour (0xff123456);

        if (colourText.length() == 9 && MainComponent::parseColour (colour, colourText) && colour.getAlpha() == 0)
            std::abort();   // a colour is only ever taken with a visible alpha
    }

    return 0;
}
