#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

// Test processes that ctest starts together make their folders at the same moment, in the same
// parent; threads released together into an empty parent of their own do the same, many times.
TEST (TempFolderTest, FoldersMadeAtTheSameMomentAreDistinctAndEachGoesOnlyWithItsOwner)
{
    velmtest::TempFolder parent;
    const velmtest::ScopedEnvironmentVariable inParent ("TMPDIR", parent.get().getFullPathName());

    constexpr int makers = 8;
    constexpr int rounds = 20;

    for (int round = 0; round < rounds && ! HasFailure(); ++round)
    {
        SCOPED_TRACE ("round " + std::to_string (round));

        std::vector<std::unique_ptr<velmtest::TempFolder>> folders (makers);
        std::atomic<int> notReady { makers };
        std::vector<std::thread> threads;

        for (int i = 0; i < makers; ++i)
        {
            threads.emplace_back ([&folders, &notReady, i]
            {
                --notReady;

                while (notReady.load() > 0)
                    std::this_thread::yield();

                folders[(size_t) i] = std::make_unique<velmtest::TempFolder>();
            });
        }

        for (auto& thread : threads)
            thread.join();

        // Each folder gets a file of its own maker's, which must outlive every other folder.
        std::set<juce::String> paths;

        for (int i = 0; i < makers; ++i)
        {
            const auto& folder = folders[(size_t) i]->get();
            paths.insert (folder.getFullPathName());
            EXPECT_TRUE (folder.isDirectory()) << folder.getFullPathName();
            EXPECT_EQ (folder.getParentDirectory(), parent.get());
            EXPECT_TRUE (folder.getFileName().startsWith ("velm-test-")) << folder.getFileName();

            // Tests that act as an unprivileged user look into these folders.
            struct stat info {};
            EXPECT_EQ (::stat (folder.getFullPathName().toRawUTF8(), &info), 0);
            EXPECT_EQ (info.st_mode & 07777, 0755u) << folder.getFullPathName();
            EXPECT_TRUE ((*folders[(size_t) i] / ("maker-" + juce::String (i))).replaceWithText ("mine"));
        }

        EXPECT_EQ (paths.size(), (size_t) makers) << "folders shared between makers";

        for (int i = 0; i < makers; ++i)
        {
            const auto gone = folders[(size_t) i]->get();
            folders[(size_t) i].reset();
            EXPECT_FALSE (gone.exists()) << gone.getFullPathName();

            for (int j = i + 1; j < makers; ++j)
            {
                const auto marker = *folders[(size_t) j] / ("maker-" + juce::String (j));
                EXPECT_TRUE (marker.existsAsFile()) << marker.getFullPathName() << " went with folder " << i;
            }
        }
    }

    EXPECT_EQ (parent.get().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0)
        << "every folder went with its owner";
}

// The folder is made before any test runs, for the process's temporary files, where a failure
// could only surface later as some test's puzzling fault: so it ends the process, saying why.
TEST (TempFolderDeathTest, AFolderThatCannotBeMadeEndsTheProcessNamingTemplateAndReason)
{
    GTEST_FLAG_SET (death_test_style, "threadsafe");

    // A device, not a folder: nothing can be made below it, whoever runs the test.
    const velmtest::ScopedEnvironmentVariable underAFile ("TMPDIR", juce::String ("/dev/null"));
    EXPECT_DEATH (velmtest::TempFolder(), "/dev/null/velm-test-XXXXXX: Not a directory");
}
