#include "json/BoundedJson.h"

#include <cstring>
#include <limits>

namespace velm
{
    JsonShape measureJson (const juce::String& text)
    {
        // Up to the first error the parser meets, it reads the text in the units that are read
        // here, so its depth and values and the ones counted here are the same. What follows an
        // error is never parsed, and counting it too can only make a text that fails anyway fail
        // sooner.
        auto p = text.getCharPointer();
        JsonShape shape;
        shape.values = 1;   // the outermost value
        int depth = 0;

        // The parser steps over a character by the length that its first byte announces, and
        // the count here by the bytes that really continue it: the two agree only on valid
        // UTF-8. A string can hold any bytes (String::fromUTF8 copies them unchecked), and a
        // sequence cut short could hide a bracket or a quote from one reading, or the end of
        // the text from the parser. Its length is counted in bytes: getNumBytesAsUTF8() counts
        // what its characters would take, which for a sequence cut short is something else.
        const auto bytes = std::strlen (p.getAddress());

        if (bytes > (size_t) std::numeric_limits<int>::max()
            || ! juce::CharPointer_UTF8::isValidString (p.getAddress(), (int) bytes))
        {
            shape.misread = true;
            return shape;
        }

        const auto addValue = [&shape]
        {
            return ++shape.values <= maxJsonValues;
        };

        for (;;)
        {
            const auto c = p.getAndAdvance();

            switch (c)
            {
                case 0:
                    return shape;

                case '[':
                case '{':
                    // The first value inside, if there is one.
                    if (! addValue())
                        return shape;

                    if (++depth > shape.depth && (shape.depth = depth) > maxJsonNesting)
                        return shape;

                    break;

                case ']':
                case '}':
                    // The top-level value ends here: the parser reads no further.
                    if (--depth <= 0)
                        return shape;

                    break;

                case ',':
                    if (! addValue())
                        return shape;

                    break;

                case '"':
                case '\'':
                    for (;;)
                    {
                        const auto s = p.getAndAdvance();

                        if (s == 0 || (s == '\\' && p.getAndAdvance() == 0))
                            return shape;

                        if (s == c)
                            break;
                    }

                    break;

                case '-':
                {
                    // The parser skips the same blanks, with the same test, before it reads the
                    // first digit; anything but a digit there it would misread.
                    const auto first = *p.findEndOfWhitespace();

                    if (first < '0' || first > '9')
                    {
                        shape.misread = true;
                        return shape;
                    }

                    break;
                }

                default:
                    break;
            }
        }
    }

    juce::var parseJson (const juce::String& text)
    {
        if (! measureJson (text).isWithinBounds())
            return {};

        return juce::JSON::parse (text);
    }
}
