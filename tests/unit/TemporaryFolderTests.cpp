// The user's temporary folder, on real folders under a fresh test folder: one stands for /tmp
// (sticky and open to all, as /tmp is), another for the runtime folder.

#include "platform/InstanceLock.h"
#include "platform/TemporaryFolder.h"
#include "tests/unit/UnitFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <pwd.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using velm::userTemporaryFolder;

using velmunit::lstatOf;
using velmunit::otherUser;

namespace
{
    /** Files are compared by path, which a failure can show. */
    std::string pathOf (const juce::File& f)
    {
        return f.getFullPathName().toStdString();
    }

    juce::String ownSharedName()
    {
        return "velm-" + juce::String (std::to_string (::geteuid()));
    }
}

class TemporaryFolderTest : public velmunit::SharedFolderTest
{
protected:
    void SetUp() override
    {
        SharedFolderTest::SetUp();
        runtime = root.getChildFile ("runtime");
        ownPlace = shared.getChildFile (ownSharedName());
    }

    juce::File ownRuntimeFolder() const
    {
        EXPECT_TRUE (runtime.createDirectory().wasOk());
        EXPECT_EQ (::chmod (runtime.getFullPathName().toRawUTF8(), 0700), 0);
        return runtime;
    }

    void expectFolderOfThisUserAlone (const juce::File& folder) const
    {
        const auto info = lstatOf (folder);
        EXPECT_TRUE (S_ISDIR (info.st_mode)) << folder.getFullPathName();
        EXPECT_EQ (info.st_uid, ::geteuid());
        EXPECT_EQ (info.st_mode & 07777, 0700u);
    }

    juce::File runtime, ownPlace;
};

TEST_F (TemporaryFolderTest, TemporaryFolderSetOrElseThePrivateFolderTheLockUses)
{
    enum class Expected { temporaryFolder, runtimeFolder, ownSharedFolder };

    const auto chosen = root.getChildFile ("chosen");

    struct Case
    {
        const char* name;
        juce::String temporaryFolder;
        std::function<juce::String()> runtimeFolder;
        Expected expected;
        bool givesAway = false;
    };

    const std::vector<Case> cases {
        { "TMPDIR set",                           chosen.getFullPathName(), [&] { return ownRuntimeFolder().getFullPathName(); }, Expected::temporaryFolder },
        { "TMPDIR set, no runtime folder",        chosen.getFullPathName(), [] { return juce::String(); },                         Expected::temporaryFolder },
        { "TMPDIR empty, own closed runtime",     {}, [&] { return ownRuntimeFolder().getFullPathName(); },                         Expected::runtimeFolder },
        { "TMPDIR empty, runtime open to others", {}, [&] { ownRuntimeFolder(); ::chmod (runtime.getFullPathName().toRawUTF8(), 0755);
                                                             return runtime.getFullPathName(); },                                   Expected::ownSharedFolder },
        { "TMPDIR empty, runtime missing",        {}, [&] { return runtime.getFullPathName(); },                                    Expected::ownSharedFolder },
        { "TMPDIR empty, no runtime folder",      {}, [] { return juce::String(); },                                                Expected::ownSharedFolder },
        { "TMPDIR empty, another user's runtime", {}, [&] { ownRuntimeFolder();
                                                             ::chown (runtime.getFullPathName().toRawUTF8(), (uid_t) otherUser(), (gid_t) -1);
                                                             return runtime.getFullPathName(); },                                   Expected::ownSharedFolder, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);

        if (c.givesAway && otherUser() < 0)
        {
            std::cout << "[ SKIPPED  ] " << c.name << ": giving a folder to another user needs root\n";
            continue;
        }

        // With no umask to take bits away, a folder that is made gets exactly the mode asked for.
        const auto previousMask = ::umask (0);
        const auto runtimeFolder = c.runtimeFolder();
        const auto folder = userTemporaryFolder (c.temporaryFolder, runtimeFolder, shared.getFullPathName());
        ::umask (previousMask);

        switch (c.expected)
        {
            case Expected::temporaryFolder:
                EXPECT_EQ (pathOf (folder), pathOf (chosen));
                break;

            case Expected::runtimeFolder:
                EXPECT_EQ (pathOf (folder), pathOf (runtime));
                break;

            case Expected::ownSharedFolder:
                EXPECT_EQ (pathOf (folder), pathOf (ownPlace));
                expectFolderOfThisUserAlone (folder);
                break;
        }

        if (c.expected != Expected::temporaryFolder)
        {
            // The very folder that the single-instance lock takes, and nothing else in the shared one.
            const velm::InstanceLock lock ("Velm Downloader", runtimeFolder, shared.getFullPathName());
            EXPECT_EQ (pathOf (lock.getFile().getParentDirectory()), pathOf (folder));
            EXPECT_EQ (shared.getNumberOfChildFiles (juce::File::findFilesAndDirectories),
                       c.expected == Expected::ownSharedFolder ? 1 : 0);
        }
        else
        {
            EXPECT_EQ (shared.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
        }

        runtime.deleteRecursively();
        ownPlace.deleteRecursively();
    }
}

TEST_F (TemporaryFolderTest, SquattedPrivateFolderGivesAFreshFolderOfThisUsersNeverTheSharedOne)
{
    const auto decoy = root.getChildFile ("decoy");

    const auto freshPrefix = ownSharedName() + "-";

    for (const auto& c : velmunit::squattingsOf (ownPlace, decoy))
    {
        SCOPED_TRACE (c.name);

        if (c.givesAway && otherUser() < 0)
        {
            std::cout << "[ SKIPPED  ] " << c.name << ": giving a folder to another user needs root\n";
            continue;
        }

        ASSERT_TRUE (c.plant());
        const auto previousMask = ::umask (0);
        const auto first = userTemporaryFolder ({}, {}, shared.getFullPathName());
        const auto second = userTemporaryFolder ({}, {}, shared.getFullPathName());
        ::umask (previousMask);

        for (const auto& folder : { first, second })
        {
            EXPECT_NE (pathOf (folder), pathOf (shared));
            EXPECT_NE (pathOf (folder), pathOf (ownPlace));
            EXPECT_EQ (pathOf (folder.getParentDirectory()), pathOf (shared));
            EXPECT_TRUE (folder.getFileName().startsWith (freshPrefix)) << folder.getFullPathName();
            expectFolderOfThisUserAlone (folder);
        }

        // Each call has a folder of its own, and nothing was made inside the squatted place.
        EXPECT_NE (pathOf (first), pathOf (second));
        EXPECT_EQ (ownPlace.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
        EXPECT_EQ (decoy.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);

        first.deleteRecursively();
        second.deleteRecursively();
        ::unlink (ownPlace.getFullPathName().toRawUTF8());
        ownPlace.deleteRecursively();
        decoy.deleteRecursively();
    }
}

TEST_F (TemporaryFolderTest, NoFolderAtAllWhereNothingCanBeMade)
{
    // Not even a fresh folder can be made in a shared folder that does not exist.
    const auto missing = root.getChildFile ("missing");
    EXPECT_EQ (pathOf (userTemporaryFolder ({}, {}, missing.getFullPathName())), pathOf (juce::File()));
    EXPECT_FALSE (missing.exists());
}

TEST_F (TemporaryFolderTest, ReadsTheEnvironmentTakingAnEmptyTemporaryFolderAsUnset)
{
    const auto chosen = root.getChildFile ("chosen");
    const auto ownRuntime = ownRuntimeFolder();

    // (TMPDIR, XDG_RUNTIME_DIR) -> the folder
    struct Case { const char* name; std::optional<juce::String> temporaryFolder; juce::File expected; };
    const std::vector<Case> cases {
        { "TMPDIR set",   chosen.getFullPathName(), chosen },
        { "TMPDIR empty", juce::String(),           ownRuntime },
        { "TMPDIR unset", std::nullopt,             ownRuntime },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const velmtest::ScopedEnvironmentVariable temporaryVariable ("TMPDIR", c.temporaryFolder);
        const velmtest::ScopedEnvironmentVariable runtimeVariable ("XDG_RUNTIME_DIR", ownRuntime.getFullPathName());
        EXPECT_EQ (pathOf (userTemporaryFolder()), pathOf (c.expected));
    }
}
