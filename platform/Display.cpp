#include "platform/Display.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <X11/Xlib.h>

#include <cstdlib>

namespace velm
{
    namespace
    {
        /** Whether the display that the framework would open can be opened: the same name, the
            same call, as often as the framework tries it (juce_linux_XWindowSystem.cpp,
            initialiseXDisplay). */
        bool canOpenTheFrameworksDisplay()
        {
            juce::String name (std::getenv ("DISPLAY"));

            if (name.isEmpty())
                name = ":0.0";

            for (int tries = 2; --tries >= 0;)
            {
                if (auto* display = XOpenDisplay (name.toRawUTF8()))
                {
                    XCloseDisplay (display);
                    return true;
                }
            }

            return false;
        }
    }

    bool hasDisplay()
    {
        // Where no X display can be opened at all, the framework's desktop is never made: it
        // would start the desktop's settings tool to learn the theme, which leaves that tool's
        // files behind. Otherwise the framework itself is asked for the very display that the
        // main window is centred on, so that the check and the window never disagree.
        return canOpenTheFrameworksDisplay()
            && juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    }

    namespace
    {
        /** The text quoted, with every byte that would break the line or the terminal escaped. */
        juce::String quoted (const char* text)
        {
            juce::String result ("\"");

            for (auto* p = reinterpret_cast<const unsigned char*> (text); *p != 0; ++p)
            {
                if (*p < 0x20 || *p == 0x7f || *p == '"' || *p == '\\' || *p >= 0x80)
                    result << "\\x" << juce::String::toHexString ((int) *p).paddedLeft ('0', 2);
                else
                    result << (char) *p;
            }

            return result + "\"";
        }
    }

    juce::String describeMissingDisplay (const char* displayVariable)
    {
        // The framework tries ":0.0" in place of a DISPLAY that is not set or empty.
        if (displayVariable == nullptr)
            return "no X display could be opened: DISPLAY is not set (tried \":0.0\")";

        if (*displayVariable == 0)
            return "no X display could be opened: DISPLAY is empty (tried \":0.0\")";

        return "no X display could be opened: DISPLAY is " + quoted (displayVariable);
    }
}
