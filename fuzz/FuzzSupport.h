#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstdint>

// The entry points that libFuzzer calls.
extern "C" int LLVMFuzzerInitialize (int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

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
