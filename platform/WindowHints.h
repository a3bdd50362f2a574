#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

namespace velm
{
    /** Tells the window manager that a shown window's size is fixed: its minimum and maximum
        size are its present size.

        The framework writes such limits for a window that is not resizable, but on this
        platform its next move of the window replaces them with the position and size alone,
        which leaves a window manager free to let the user resize it; so the limits are written
        again, and looked after for the window's first seconds. */
    void keepWindowSizeFixed (juce::Component& topLevelWindow);
}
