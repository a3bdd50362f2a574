#pragma once

#include <juce_core/juce_core.h>

#include <limits>

namespace velm
{
    /** The deepest nesting of arrays and objects that is handed to the framework's JSON parser.

        That parser recurses once per level, so a text nested deep enough (a server's answer of a
        few megabytes of "[") exhausts the stack of the thread that parses it. No real manifest
        comes near this depth, and no valid configuration can reach it: 1023 characters hold at
        most 511 balanced levels. */
    constexpr int maxJsonNesting = 512;

    /** What jsonNestingDepth gives for a text that the parser would misread: deeper than any
        bound, so that such a text is refused as a text nested too deep is. */
    constexpr int misreadJsonDepth = std::numeric_limits<int>::max();

    /** How deep the framework's parser would nest while reading the text. Counting stops as soon
        as the depth passes limit.

        The count holds because the text is read in the parser's own units: blanks, the single
        characters { [ ] } , :, strings in either quote whose backslash hides the character after
        it, letters, and numbers made only of digits, '.', 'e', 'E', '+' and '-'. The parser
        takes a bracket as a bracket and a quote as a quote in every one of these, but for one:
        after a minus sign it skips blanks and takes the next character as a digit unchecked, be
        it a bracket, a quote or the end of the text. A minus sign that no digit follows (after
        blanks) therefore makes the text count as misread (misreadJsonDepth). Nothing after the
        end of the top-level value is looked at, as the parser looks at nothing there either. */
    int jsonNestingDepth (const juce::String& text, int limit = maxJsonNesting);

    /** juce::JSON::parse for texts that may come from anywhere: a text that the parser would
        nest deeper than maxJsonNesting, or misread, gives a void value, as an invalid text does,
        without being parsed. */
    juce::var parseJson (const juce::String& text);
}
