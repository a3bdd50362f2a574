#include "download/FileDigest.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

namespace
{
    constexpr const char* emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    constexpr const char* abcDigest   = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

    juce::MemoryBlock patternedBytes (size_t numBytes)
    {
        juce::MemoryBlock block (numBytes);
        auto* bytes = static_cast<juce::uint8*> (block.getData());
        juce::uint32 x = 0x9e3779b9;

        for (size_t i = 0; i < numBytes; ++i)
        {
            x = x * 1664525u + 1013904223u;
            bytes[i] = static_cast<juce::uint8> (x >> 24);
        }

        return block;
    }

    /** The digest that the system's openssl tool gives for a file. */
    juce::String opensslDigest (const juce::File& file)
    {
        juce::ChildProcess openssl;

        if (! openssl.start (juce::StringArray { "openssl", "dgst", "-sha256", "-r", file.getFullPathName() }))
            return {};

        const auto output = openssl.readAllProcessOutput();
        return openssl.getExitCode() == 0 ? output.upToFirstOccurrenceOf (" ", false, false) : juce::String();
    }

    bool isLowerCaseHex (const juce::String& digest)
    {
        return digest.length() == 64 && digest.containsOnly ("0123456789abcdef");
    }
}

class Digest : public ::testing::Test
{
protected:
    juce::File writeFile (const juce::String& name, const juce::MemoryBlock& bytes)
    {
        // Written through a stream: replaceWithData would delete the file for empty content.
        auto file = folder.getChildFile (name);
        juce::FileOutputStream out (file);
        EXPECT_TRUE (out.openedOk());
        // An empty block has no data pointer, which the stream must never be handed.
        if (bytes.getSize() > 0)
        {
            EXPECT_TRUE (out.write (bytes.getData(), bytes.getSize()));
        }
        out.flush();
        EXPECT_TRUE (out.getStatus().wasOk());
        return file;
    }

    velmtest::TempFolder temporary;
    const juce::File folder { temporary.get() };
};

TEST_F (Digest, KnownVectors)
{
    EXPECT_EQ (velm::sha256OfData ("", 0), emptyDigest);
    EXPECT_EQ (velm::sha256OfData ("abc", 3), abcDigest);

    EXPECT_EQ (velm::sha256OfFile (writeFile ("empty", {})), emptyDigest);
    EXPECT_EQ (velm::sha256OfFile (writeFile ("abc", juce::MemoryBlock ("abc", 3))), abcDigest);
}

TEST_F (Digest, FileMatchesDataAndTheSystemTool)
{
    // Sizes around the block in which files are read, and one of several blocks and a tail.
    for (const size_t numBytes : { (size_t) 1, (size_t) 1 << 20, ((size_t) 1 << 20) + 1, ((size_t) 3 << 20) + 5 })
    {
        SCOPED_TRACE (numBytes);

        const auto bytes = patternedBytes (numBytes);
        const auto file = writeFile ("data-" + juce::String ((juce::int64) numBytes), bytes);
        const auto fromFile = velm::sha256OfFile (file);

        EXPECT_TRUE (isLowerCaseHex (fromFile)) << fromFile;
        EXPECT_EQ (fromFile, velm::sha256OfData (bytes.getData(), bytes.getSize()));
        EXPECT_EQ (fromFile, opensslDigest (file));
    }
}

TEST_F (Digest, ChangedByteChangesTheDigest)
{
    auto bytes = patternedBytes (((size_t) 3 << 20) + 5);
    const auto before = velm::sha256OfFile (writeFile ("before", bytes));

    bytes[bytes.getSize() - 1] = (char) (bytes[bytes.getSize() - 1] ^ 1);
    EXPECT_NE (velm::sha256OfFile (writeFile ("after", bytes)), before);
}

TEST_F (Digest, UnreadableGivesTheEmptyText)
{
    EXPECT_EQ (velm::sha256OfFile (folder.getChildFile ("missing")), "");
    EXPECT_EQ (velm::sha256OfFile (folder), "");
}

TEST_F (Digest, FileWithoutReadPermissionGivesTheEmptyText)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root, which reads a file of mode 000";

    const auto file = writeFile ("locked", juce::MemoryBlock ("abc", 3));
    ASSERT_EQ (chmod (file.getFullPathName().toRawUTF8(), 0), 0);

    EXPECT_EQ (velm::sha256OfFile (file), "");
}

// A stop asked for at any point of a file, its very end included, leaves no digest; one that
// never comes leaves the whole digest.
TEST_F (Digest, AStoppedReadingGivesTheEmptyText)
{
    const auto bytes = patternedBytes (((size_t) 3 << 20) + 5);
    const auto file = writeFile ("stopped", bytes);
    const auto whole = velm::sha256OfData (bytes.getData(), bytes.getSize());

    for (const int stopAtAsk : { 1, 2, 4, 5, 6 })
    {
        SCOPED_TRACE (stopAtAsk);
        int asks = 0;
        const auto digest = velm::sha256OfFile (file, [&] { return ++asks >= stopAtAsk; });

        EXPECT_EQ (digest, stopAtAsk <= 5 ? juce::String() : whole) << "after " << asks << " asks";
    }
}
