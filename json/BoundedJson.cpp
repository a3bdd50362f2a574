#include "json/BoundedJson.h"

namespace velm
{
    int jsonNestingDepth (const juce::String& text, int limit)
    {
        // Up to the first error the parser meets, it reads the text in the units that are read
        // here, so its depth and the one counted here are the same. What follows an error is never
        // parsed, and counting it too can only make a text that fails anyway fail sooner.
        auto p = text.getCharPointer();
        int depth = 0, deepest = 0;

        for (;;)
        {
            const auto c = p.getAndAdvance();

            switch (c)
            {
                case 0:
                    return deepest;

                case '[':
                case '{':
                    if (++depth > deepest && (deepest = depth) > limit)
                        return deepest;

                    break;

                case ']':
                case '}':
                    // The top-level value ends here: the parser reads no further.
                    if (--depth <= 0)
                        return deepest;

                    break;

                case '"':
                case '\'':
                    for (;;)
                    {
                        const auto s = p.getAndAdvance();

                        if (s == 0 || (s == '\\' && p.getAndAdvance() == 0))
                            return deepest;

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
                        return misreadJsonDepth;

                    break;
                }

                default:
                    break;
            }
        }
    }

    juce::var parseJson (const juce::String& text)
    {
        if (jsonNestingDepth (text) > maxJsonNesting)
            return {};

        return juce::JSON::parse (text);
    }
}
