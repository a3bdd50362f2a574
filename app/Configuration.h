#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** Parses the embedded configuration text; a void value when it is not a JSON object or
        array (an empty, blank, cut or otherwise invalid text). */
    juce::var parseConfiguration (const juce::String& text);

    /** The start-up check: a parsed object with "productName" and a "download" object holding
        "url" and "macInstallerExtension". Value types are not looked at. */
    bool isValidConfiguration (const juce::var& config);
}
