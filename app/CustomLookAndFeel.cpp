#include "app/CustomLookAndFeel.h"

#include "platform/EmbeddedText.h"

juce::Typeface::Ptr CustomLookAndFeel::getTypefaceForFont (const juce::Font&)
{
    // No cache of our own: the framework keeps the typefaces it has asked for.
    return juce::Typeface::createSystemTypefaceFor (velm::getEmbeddedFontData(),
                                                    velm::getEmbeddedFontSize());
}
