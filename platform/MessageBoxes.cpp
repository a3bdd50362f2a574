#include "platform/MessageBoxes.h"

namespace velm
{
    int buttonIndexFromBoxResult (int numButtons, int boxResult) noexcept
    {
        // The framework numbers the buttons of an ok/cancel box 1, 0 and those of a
        // yes/no/cancel box 1, 2, 0: the last button is always 0, the others count from 1.
        if (numButtons <= 1)
            return 0;

        return boxResult == 0 ? numButtons - 1 : boxResult - 1;
    }

    void showMessageBoxAsync (const juce::MessageBoxOptions& options,
                              std::function<void (int)> onClosed)
    {
        auto show = [options, onClosed]
        {
            const auto numButtons = options.getNumButtons();

            juce::NativeMessageBox::showAsync (options, [numButtons, onClosed] (int boxResult)
            {
                if (onClosed != nullptr)
                    onClosed (buttonIndexFromBoxResult (numButtons, boxResult));
            });
        };

        // Always posted, also from the message thread: a box requested before the message loop
        // runs appears only once it does.
        juce::MessageManager::callAsync (std::move (show));
    }
}
