// The JSON guard against the framework's JSON parser itself: every text that the guard lets
// through is parsed on a thread whose stack holds the parser at the guard's bound with some room
// to spare, and no more. A text that gets past the guard and then makes the parser recurse much
// deeper runs into the page below that stack and crashes the target, as does any read beyond the
// text's end, through the address sanitizer: the spare bytes of the string's block after the
// text are fenced off for the parse. Texts come both decoded as a file's text is and as raw
// bytes, which a string keeps unchecked. What the parser builds is then measured in turn:
// deeper or more values than the guard counted is a crash too.
//
// How much stack the parser takes at the bound depends on the compiler and the sanitizers, so it
// is measured when the target starts: the deepest texts that the guard accepts are parsed on a
// stack filled with a pattern, and the part of it that was written is what they need.

#include "json/BoundedJson.h"

#include "fuzz/FuzzSupport.h"

#if defined (__has_feature)
 #if __has_feature (address_sanitizer)
  #define VELM_FUZZ_ADDRESS_SANITIZER 1
  #include <sanitizer/asan_interface.h>
 #endif
#endif

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace
{
    constexpr unsigned char pattern = 0xa5;

    size_t pageSize()  { return (size_t) ::sysconf (_SC_PAGESIZE); }

    size_t roundUpToPages (size_t bytes)
    {
        const auto page = pageSize();
        return (bytes + page - 1) / page * page;
    }

    /** A thread stack of a fixed size with an inaccessible page right below it, so that running
        past its end is a crash and not a write into whatever lies there. */
    class GuardedStack
    {
    public:
        explicit GuardedStack (size_t bytes)
            : size (roundUpToPages (bytes))
        {
            mapping = ::mmap (nullptr, size + pageSize(), PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);

            if (mapping == MAP_FAILED || ::mprotect (mapping, pageSize(), PROT_NONE) != 0)
            {
                std::perror ("velm_fuzz_json_guard: cannot map a thread stack");
                std::abort();
            }
        }

        ~GuardedStack()  { ::munmap (mapping, size + pageSize()); }

        unsigned char* base() const noexcept  { return static_cast<unsigned char*> (mapping) + pageSize(); }

        /** Parses the text with the framework's parser on a thread that runs on this stack. */
        juce::var parseOnIt (const juce::String& text) const
        {
            struct Job
            {
                const juce::String* text;
                juce::var result;

                static void* run (void* job)
                {
                    auto& self = *static_cast<Job*> (job);
                    self.result = juce::JSON::parse (*self.text);
                    return nullptr;
                }
            } job { &text, {} };

            pthread_attr_t attributes;
            pthread_t thread;

            if (::pthread_attr_init (&attributes) != 0
                || ::pthread_attr_setstack (&attributes, base(), size) != 0
                || ::pthread_create (&thread, &attributes, &Job::run, &job) != 0)
            {
                std::fprintf (stderr, "velm_fuzz_json_guard: cannot start a thread on a stack of %zu bytes\n", size);
                std::abort();
            }

            ::pthread_join (thread, nullptr);
            ::pthread_attr_destroy (&attributes);
            return job.result;
        }

        /** How many bytes of the stack a parse of the text writes to. */
        size_t bytesUsedBy (const juce::String& text) const
        {
            std::memset (base(), pattern, size);
            parseOnIt (text);

            const auto* p = base();
            const auto* end = base() + size;

            while (p != end && *p == pattern)
                ++p;

            return (size_t) (end - p);
        }

        const size_t size;

    private:
        void* mapping = nullptr;

        JUCE_DECLARE_NON_COPYABLE (GuardedStack)
    };

    juce::String repeated (const char* unit, int times)
    {
        juce::String s;

        for (int i = 0; i < times; ++i)
            s << unit;

        return s;
    }

    /** The texts that make the parser go deepest among those that the guard accepts: arrays and
        objects nested right to the bound, each with the heaviest ends that a level can have (a
        number read as a double, a string with an escape, an error thrown from the innermost
        level, which is unwound through every level). */
    juce::StringArray deepestAcceptedTexts()
    {
        const auto depth = velm::maxJsonNesting;
        const auto arrays = repeated ("[", depth), objects = repeated (R"({"a":)", depth);
        juce::StringArray texts;

        for (const auto& leaf : { "-1.5e-300", R"("\u00e9\"")", "x", "" })
        {
            texts.add (arrays + leaf + repeated ("]", depth));
            texts.add (objects + leaf + repeated ("}", depth));
            texts.add (repeated (R"([{"a":)", depth / 2) + leaf);
        }

        return texts;
    }

    /** The nesting and the number of values of a parsed value, counted without recursion. */
    velm::JsonShape shapeOf (const juce::var& value)
    {
        velm::JsonShape shape;
        std::vector<std::pair<juce::var, int>> pending { { value, 0 } };

        while (! pending.empty())
        {
            const auto [v, level] = pending.back();
            pending.pop_back();
            ++shape.values;

            if (auto* array = v.getArray())
            {
                shape.depth = std::max (shape.depth, level + 1);

                for (const auto& element : *array)
                    pending.emplace_back (element, level + 1);
            }
            else if (auto* object = v.getDynamicObject())
            {
                shape.depth = std::max (shape.depth, level + 1);

                for (const auto& property : object->getProperties())
                    pending.emplace_back (property.value, level + 1);
            }
        }

        return shape;
    }

    const GuardedStack* parseStack = nullptr;

    /** A text whose string block, from the byte after its end to the block's own end, may not be
        read while this lives: the address sanitizer sees only reads beyond the block, and a
        string's block has a few bytes to spare after the text. */
    class FencedText
    {
    public:
        explicit FencedText (const juce::String& s)  : text (s)
        {
           #if VELM_FUZZ_ADDRESS_SANITIZER
            if (text.isEmpty())
                return;   // the framework's shared empty string, which is no block of its own

            const auto* start = text.toRawUTF8() + std::strlen (text.toRawUTF8()) + 1;
            const auto* end = start;

            // The block ends where the sanitizer's red zone begins, a few bytes on; without one
            // in sight, no fence at all rather than one across memory that is not the text's.
            while (end != start + 64 && ! __asan_address_is_poisoned (end))
                ++end;

            if (end == start + 64)
                return;

            fenceStart = start;
            fenceSize = (size_t) (end - start);
            ASAN_POISON_MEMORY_REGION (fenceStart, fenceSize);
           #endif
        }

        ~FencedText()
        {
           #if VELM_FUZZ_ADDRESS_SANITIZER
            if (fenceSize > 0)
                ASAN_UNPOISON_MEMORY_REGION (fenceStart, fenceSize);
           #endif
        }

        const juce::String text;

    private:
        const char* fenceStart = nullptr;
        size_t fenceSize = 0;

        JUCE_DECLARE_NON_COPYABLE (FencedText)
    };

    /** Parses a text that the guard lets through on the small stack, inside its fence, and
        compares what the parser built with what the guard counted. */
    void checkAgainstTheParser (const juce::String& input)
    {
        const FencedText fenced (input);
        const auto& text = fenced.text;
        const auto measured = velm::measureJson (text);

        if (! measured.isWithinBounds())
            return;

        const auto parsed = parseStack->parseOnIt (text);

        // A text that the parser refuses leaves nothing to measure; its depth on the way is what
        // the stack answers for, and its reads what the fence does.
        if (parsed.isVoid())
            return;

        const auto built = shapeOf (parsed);

        if (built.depth > measured.depth || built.values > measured.values)
        {
            std::fprintf (stderr, "velm_fuzz_json_guard: the guard counted %d levels and %d values, the parser built %d and %d\n",
                          measured.depth, measured.values, built.depth, built.values);
            std::abort();
        }
    }
}

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    size_t needed = 0;

    {
        const GuardedStack measuring (16 * 1024 * 1024);

        for (const auto& text : deepestAcceptedTexts())
        {
            if (! velm::measureJson (text).isWithinBounds())
            {
                std::fprintf (stderr, "velm_fuzz_json_guard: the guard refuses a text at its own bound\n");
                std::abort();
            }

            needed = std::max (needed, measuring.bytesUsedBy (text));
        }
    }

    // Half as much again: a text that the guard passes while the parser recurses past about one
    // and a half times the bound cannot fit.
    parseStack = new GuardedStack (needed + needed / 2);

    std::fprintf (stderr, "velm_fuzz_json_guard: a parse at the bound of %d levels takes %zu KiB of stack; "
                          "texts that pass the guard are parsed on %zu KiB\n",
                  velm::maxJsonNesting, needed / 1024, parseStack->size / 1024);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    velmfuzz::releasePooledNames();

    // Any bytes, decoded as the manifest's copy is; and the same bytes kept as they are, which a
    // string also allows.
    const auto* bytes = reinterpret_cast<const char*> (data);

    checkAgainstTheParser (velmfuzz::decodeAsTheProgramDoes (data, size));
    checkAgainstTheParser (size == 0 ? juce::String()
                                     : juce::String (juce::CharPointer_UTF8 (bytes), juce::CharPointer_UTF8 (bytes + size)));
    return 0;
}
