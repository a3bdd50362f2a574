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

    /** The most values that a text may make the framework's parser build.

        A parsed value costs memory out of all proportion to the bytes that spell it: an array of
        one number, "[0]," in four bytes, takes some 200 bytes once parsed, so a few megabytes of
        text can take gigabytes. A release manifest has six values per file: this is room for
        more than 20,000 files, and for at most some 40 MiB of parsed values. */
    constexpr int maxJsonValues = 1 << 17;

    /** What the framework's parser would build from a text, as far as its cost goes. */
    struct JsonShape
    {
        int depth = 0;          ///< the deepest nesting that the parser reaches
        int values = 0;         ///< at least as many as the values it builds
        bool misread = false;   ///< the parser would take some character for what it is not

        /** Whether the text may be handed to the parser. */
        bool isWithinBounds() const noexcept
        {
            return ! misread && depth <= maxJsonNesting && values <= maxJsonValues;
        }
    };

    /** How the framework's parser would read the text, counted until a bound is passed.

        The count holds because the text is read in the parser's own units: blanks, the single
        characters { [ ] } , :, strings in either quote whose backslash hides the character after
        it, letters, and numbers made only of digits, '.', 'e', 'E', '+' and '-'. The parser
        takes a bracket as a bracket and a quote as a quote in every one of these, but for one:
        after a minus sign it skips blanks and takes the next character as a digit unchecked, be
        it a bracket, a quote or the end of the text. A minus sign that no digit follows (after
        blanks) therefore makes the text misread, and so does a text that is not valid UTF-8,
        over which the parser and this count would step differently. Every value but the
        outermost is the first in its array or object or follows a comma there, so the values
        are at most one more than the brackets that open and the commas that separate. Nothing
        after the end of the top-level value is looked at, as the parser looks at nothing there
        either. */
    JsonShape measureJson (const juce::String& text);

    /** juce::JSON::parse for texts that may come from anywhere: a text that is not within the
        bounds of its shape gives a void value, as an invalid text does, without being parsed. */
    juce::var parseJson (const juce::String& text);
}
