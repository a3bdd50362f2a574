#include "platform/Display.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace velm
{
    namespace
    {
        /** Keeps standard error closed to what the X library says of its own (a display that
            refuses the connection makes it write its reason, once for each try) for as long as
            it lives, so that the program's own line is the only one. */
        class QuietStandardError
        {
        public:
            QuietStandardError()
            {
                const int nowhere = ::open ("/dev/null", O_WRONLY | O_CLOEXEC);

                if (nowhere >= 0 && (saved = ::fcntl (STDERR_FILENO, F_DUPFD_CLOEXEC, 0)) >= 0)
                    ::dup2 (nowhere, STDERR_FILENO);

                if (nowhere >= 0)
                    ::close (nowhere);
            }

            ~QuietStandardError()
            {
                if (saved >= 0)
                {
                    ::dup2 (saved, STDERR_FILENO);
                    ::close (saved);
                }
            }

        private:
            int saved = -1;

            JUCE_DECLARE_NON_COPYABLE (QuietStandardError)
        };

        /** Whether the display that the framework would open can be opened: the same name, the
            same call, as often as the framework tries it (juce_linux_XWindowSystem.cpp,
            initialiseXDisplay). */
        bool canOpenTheFrameworksDisplay()
        {
            juce::String name (std::getenv ("DISPLAY"));

            if (name.isEmpty())
                name = ":0.0";

            const QuietStandardError quiet;

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

        /** The text with every byte that could break the line, confuse the terminal or be taken
            for a quote written as \xNN. */
        juce::String escaped (const char* text)
        {
            juce::String result;

            for (auto* p = reinterpret_cast<const unsigned char*> (text); *p != 0; ++p)
            {
                if (*p < 0x20 || *p >= 0x7f || *p == '"' || *p == '\\')
                    result << "\\x" << juce::String::toHexString ((int) *p).paddedLeft ('0', 2);
                else
                    result << (char) *p;
            }

            return result;
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

    juce::String describeMissingDisplay (const char* programName, const char* displayVariable)
    {
        const auto start = escaped (programName != nullptr ? programName : "") + ": no X display could be opened: ";

        // The framework tries ":0.0" in place of a DISPLAY that is not set or empty.
        if (displayVariable == nullptr)
            return start + "DISPLAY is not set (tried \":0.0\")";

        if (*displayVariable == 0)
            return start + "DISPLAY is empty (tried \":0.0\")";

        return start + "DISPLAY is \"" + escaped (displayVariable) + "\"";
    }
}
