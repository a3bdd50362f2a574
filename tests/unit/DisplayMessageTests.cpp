// The line that a start without a display writes: which display was tried, and one line
// whatever the program's name and DISPLAY hold.

#include "platform/Display.h"

#include <gtest/gtest.h>

namespace
{
    struct Row
    {
        const char* program;
        const char* display;
        const char* line;
    };

    TEST (MissingDisplayLine, NamesTheDisplayTriedAndStaysOneLine)
    {
        const Row rows[] = {
            { "velm", nullptr,        R"(velm: no X display could be opened: DISPLAY is not set (tried ":0.0"))" },
            { "velm", "",             R"(velm: no X display could be opened: DISPLAY is empty (tried ":0.0"))" },
            { "velm", ":5",           R"(velm: no X display could be opened: DISPLAY is ":5")" },
            { "velm", "host:1.0",     R"(velm: no X display could be opened: DISPLAY is "host:1.0")" },
            { "velm", ":1\n2",        R"(velm: no X display could be opened: DISPLAY is ":1\x0a2")" },
            { "velm", "\x1b[2J:0\r",  R"(velm: no X display could be opened: DISPLAY is "\x1b[2J:0\x0d")" },
            { "velm", "a\"b\\c\x7f",  R"(velm: no X display could be opened: DISPLAY is "a\x22b\x5cc\x7f")" },
            { "velm", "\xc3\xa9:0",   R"(velm: no X display could be opened: DISPLAY is "\xc3\xa9:0")" },
            { "odd\nname", ":0",      R"(odd\x0aname: no X display could be opened: DISPLAY is ":0")" },
            { nullptr, ":0",          R"(: no X display could be opened: DISPLAY is ":0")" },
        };

        for (const auto& row : rows)
        {
            SCOPED_TRACE (row.line);
            const auto line = velm::describeMissingDisplay (row.program, row.display);
            EXPECT_EQ (line, juce::String (row.line));
            EXPECT_FALSE (line.containsAnyOf ("\r\n"));
        }
    }
}
