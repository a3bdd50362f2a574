#include "app/BoundedJson.h"

namespace velm
{
    int jsonNestingDepth (const juce::String& text, int limit)
    {
        // Up to the first error the parser meets, its brackets and ours are the same ones, so the
        // depth counted here is the depth it recurses to. What follows an error is never parsed,
        // and counting it too can only make a text that fails anyway fail sooner.
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
