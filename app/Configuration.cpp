#include "app/Configuration.h"

namespace velm
{
    juce::var parseConfiguration (const juce::String& text)
    {
        return juce::JSON::parse (text);
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
