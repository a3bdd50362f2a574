#pragma once

#include "json/TextDecoding.h"

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

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

    /** The bytes decoded as the program decodes an answer, which must be the text that the
        framework's own decoder makes of them when it may read one byte past their end: the two
        can then never disagree, while the address sanitizer sees that the program's decoder
        reads nothing beyond the bytes it is given. */
    inline juce::String decodeAsTheProgramDoes (const uint8_t* data, size_t size)
    {
        auto text = velm::decodeText (data, size);

        std::vector<uint8_t> terminated (data, data + size);
        terminated.push_back (0);

        if (text != juce::String::createStringFromData (terminated.data(), (int) size))
            std::abort();

        return text;
    }
}
