#pragma once

#include <juce_core/juce_core.h>

namespace velmfuzz
{
    /** Every key that a parsed text holds goes into the framework's shared pool of names, which
        keeps them for a while after their last use; with this many texts the pool is emptied
        here rather than on the framework's own schedule. */
    inline void releasePooledNames()
    {
        static int count = 0;

        if (++count % 1000 == 0)
            juce::StringPool::getGlobalPool().garbageCollect();
    }
}
