#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** Whether the framework has a display to put windows on. On this platform that is an X
        display, which the framework opens from DISPLAY (":0.0" when it is not set or empty) when
        its desktop is first made; where it could open none, its windows and boxes read through
        the missing display and crash. Call it on the message thread, before anything asks for
        the framework's desktop. */
    bool hasDisplay();

    /** The one line, without its line break, that tells the user of programName that no X display
        could be opened, and which one was tried: DISPLAY's value (displayVariable), quoted, or
        that it is not set. Control characters, quotes, backslashes and bytes past ASCII, in the
        name as in the value, are written as \xNN, so that the line stays one line whatever the
        two hold. */
    juce::String describeMissingDisplay (const char* programName, const char* displayVariable);
}
