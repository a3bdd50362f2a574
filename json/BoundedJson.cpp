#include "json/BoundedJson.h"

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
