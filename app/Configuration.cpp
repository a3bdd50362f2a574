#include "app/Configuration.h"

#include "json/BoundedJson.h"

namespace velm
{
    juce::var parseConfiguration (const juce::String& text)
    {
        return parseJson (text);
    }

    bool isValidConfiguration (const juce::var& config)
    {
        if (config.isVoid())
            return false;

        if (! config.hasProperty ("productName") || ! config.hasProperty ("download"))
            return false;

        const auto download = config["download"];
        return download.hasProperty ("url") && download.hasProperty ("macInstallerExtension");
    }
}
