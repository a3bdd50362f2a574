#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** Opens a file, or a web address, with the desktop's default application.

        The desktop's opener (xdg-open) is started directly with the text as its only argument:
        no shell ever sees it, so quotes, `$(...)` or backticks in a file name or address stay
        plain characters. It inherits standard input, output and error, and no other descriptor.
        Returns whether the opener could be started; the opener's own outcome is not waited for. */
    bool openWithDefaultApplication (const juce::String& fileOrAddress);

    /** True for an address whose scheme is http or https, in any letter case. */
    bool isWebAddress (const juce::String& address);
}
