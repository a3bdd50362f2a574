#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace velm
{
    /** Shows a message box without blocking and reports the pressed button as its 0-based
        position in the order in which the buttons were added to the options.

        The framework's boxes on this platform report other numbers for boxes with two or three
        buttons; this maps them back. The box is built later, from the message loop. So the request
        may come from any thread without waiting for the message thread (which may itself be
        waiting for that worker while it shuts down), and a box requested before the loop runs
        appears once it does. */
    void showMessageBoxAsync (const juce::MessageBoxOptions& options,
                              std::function<void (int buttonIndex)> onClosed);

    /** The position of the pressed button, given the number that the framework's box reported. */
    int buttonIndexFromBoxResult (int numButtons, int boxResult) noexcept;
}
