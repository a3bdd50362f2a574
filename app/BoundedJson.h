#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** The deepest nesting of arrays and objects that is handed to the framework's JSON parser.

        That parser recurses once per level, so a text nested deep enough (a server's answer of a
        few megabytes of "[") exhausts the stack of the thread that parses it. No real manifest
        comes near this depth, and no valid configuration can reach it: 1023 characters hold at
        most 511 balanced levels. */
    constexpr int maxJsonNesting = 512;

    /** How deep the framework's parser would nest while reading the text, counted the way it
        reads: brackets inside strings (either quote) do not count, a backslash hides the
        character after it, and nothing after the end of the top-level value is looked at.
        Counting stops as soon as the depth passes limit. */
    int jsonNestingDepth (const juce::String& text, int limit = maxJsonNesting);

    /** juce::JSON::parse for texts that may come from anywhere: a text nested deeper than
        maxJsonNesting gives a void value, as an invalid text does, without being parsed. */
    juce::var parseJson (const juce::String& text);
}
