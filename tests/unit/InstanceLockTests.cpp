// The per-user single-instance lock, on real files in a temporary folder that stands for /tmp
// (and another for the runtime folder). flock refuses a second open of the same file even within
// one process, so two lock objects here behave as two copies of one user.

#include "platform/InstanceLock.h"
#include "tests/unit/UnitFolders.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <iostream>
#include <pwd.h>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using velm::InstanceLock;
using Outcome = InstanceLock::Outcome;

extern char** environ;

namespace velm
{
    std::ostream& operator<< (std::ostream& os, InstanceLock::Outcome o)
    {
        return os << (o == InstanceLock::Outcome::acquired ? "acquired"
                      : o == InstanceLock::Outcome::heldElsewhere ? "heldElsewhere" : "unavailable");
    }
}

using velmunit::lstatOf;
using velmunit::otherUser;

class InstanceLockTest : public velmunit::SharedFolderTest
{
protected:
    std::unique_ptr<InstanceLock> lock (const juce::String& name, const juce::String& runtime = {})
    {
        return std::make_unique<InstanceLock> (name, runtime, shared.getFullPathName());
    }

    /** This user's folder in the shared folder, as the lock makes it; removed again so that a
        test can put something else in its place. */
    juce::File ownFolderPlace()
    {
        const auto folder = lock ("probe")->getFile().getParentDirectory();
        EXPECT_EQ (folder.getParentDirectory(), shared);
        EXPECT_TRUE (folder.deleteRecursively());
        return folder;
    }
};

TEST_F (InstanceLockTest, CopiesOfOneNameExcludeEachOtherUntilTheHolderEnds)
{
    auto first = lock ("Velm Downloader");
    ASSERT_EQ (first->getOutcome(), Outcome::acquired);

    EXPECT_EQ (lock ("Velm Downloader")->getOutcome(), Outcome::heldElsewhere);
    EXPECT_EQ (lock ("Velm Other Downloader")->getOutcome(), Outcome::acquired);

    first.reset();
    EXPECT_EQ (lock ("Velm Downloader")->getOutcome(), Outcome::acquired);
}

TEST_F (InstanceLockTest, FileIsThisUsersAloneInAFolderClosedToOthers)
{
    // With no umask to take bits away, the modes are exactly those the lock asks for.
    const auto previousMask = ::umask (0);
    const auto held = lock ("Velm Downloader");
    ::umask (previousMask);

    ASSERT_EQ (held->getOutcome(), Outcome::acquired);
    const auto file = lstatOf (held->getFile());
    EXPECT_TRUE (S_ISREG (file.st_mode));
    EXPECT_EQ (file.st_mode & 07777, 0600u);
    EXPECT_EQ (file.st_uid, ::geteuid());

    const auto folder = lstatOf (held->getFile().getParentDirectory());
    EXPECT_TRUE (S_ISDIR (folder.st_mode));
    EXPECT_EQ (folder.st_mode & 07777, 0700u);
    EXPECT_EQ (folder.st_uid, ::geteuid());
    EXPECT_EQ (held->getFile().getParentDirectory().getParentDirectory(), shared);
}

TEST_F (InstanceLockTest, RuntimeFolderIsUsedOnlyWhenItIsThisUsersAndClosed)
{
    const auto runtime = root.getChildFile ("runtime");
    const auto elsewhere = root.getChildFile ("runtime-real");
    const auto startFolder = juce::File::getCurrentWorkingDirectory();

    struct Case { const char* name; std::function<juce::String()> prepare; bool used; bool givesAway = false; };
    const std::vector<Case> cases {
        { "own 0700",            [&] { runtime.createDirectory(); ::chmod (runtime.getFullPathName().toRawUTF8(), 0700); return runtime.getFullPathName(); }, true },
        { "own 0755",            [&] { runtime.createDirectory(); ::chmod (runtime.getFullPathName().toRawUTF8(), 0755); return runtime.getFullPathName(); }, false },
        { "link to own 0700",    [&] { elsewhere.createDirectory(); ::chmod (elsewhere.getFullPathName().toRawUTF8(), 0700);
                                        elsewhere.createSymbolicLink (runtime, true); return runtime.getFullPathName(); }, false },
        { "relative",            [&] { runtime.createDirectory(); ::chmod (runtime.getFullPathName().toRawUTF8(), 0700);
                                        root.setAsCurrentWorkingDirectory(); return juce::String ("runtime"); }, false },
        { "missing",             [&] { return runtime.getFullPathName(); }, false },
        { "another user's 0700", [&] { runtime.createDirectory(); ::chmod (runtime.getFullPathName().toRawUTF8(), 0700);
                                        ::chown (runtime.getFullPathName().toRawUTF8(), (uid_t) otherUser(), (gid_t) -1);
                                        return runtime.getFullPathName(); }, false, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);

        if (c.givesAway && otherUser() < 0)
        {
            std::cout << "[ SKIPPED  ] " << c.name << ": giving a folder to another user needs root\n";
            continue;
        }

        const auto held = lock ("Velm Downloader", c.prepare());
        EXPECT_EQ (held->getOutcome(), Outcome::acquired);
        EXPECT_EQ (held->getFile().getParentDirectory() == runtime, c.used) << held->getFile().getFullPathName();
        EXPECT_EQ (held->getFile().getParentDirectory().getParentDirectory() == shared, ! c.used);

        startFolder.setAsCurrentWorkingDirectory();
        ::unlink (runtime.getFullPathName().toRawUTF8());
        runtime.deleteRecursively();
        elsewhere.deleteRecursively();
    }
}

TEST_F (InstanceLockTest, SquattedFolderLeavesTheCopyFreeToRun)
{
    const auto ownFolder = ownFolderPlace();
    const auto decoy = root.getChildFile ("decoy");

    for (const auto& c : velmunit::squattingsOf (ownFolder, decoy))
    {
        SCOPED_TRACE (c.name);

        if (c.givesAway && otherUser() < 0)
        {
            std::cout << "[ SKIPPED  ] " << c.name << ": giving a folder to another user needs root\n";
            continue;
        }

        ASSERT_TRUE (c.plant());

        const auto first = lock ("Velm Downloader");
        const auto second = lock ("Velm Downloader");
        EXPECT_EQ (first->getOutcome(), Outcome::unavailable);
        EXPECT_EQ (second->getOutcome(), Outcome::unavailable);   // and so neither is stopped
        EXPECT_EQ (first->getFile(), juce::File());

        // Nothing was made inside the squatted place.
        EXPECT_EQ (ownFolder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
        EXPECT_EQ (decoy.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);

        ::unlink (ownFolder.getFullPathName().toRawUTF8());
        ownFolder.deleteRecursively();
        decoy.deleteRecursively();
    }
}

TEST_F (InstanceLockTest, PlantedLinkIsNeverFollowed)
{
    // The lock file's own place, found by taking the lock once.
    const auto lockFile = lock ("Velm Downloader")->getFile();
    ASSERT_NE (lockFile, juce::File());
    ASSERT_TRUE (lockFile.deleteFile());

    const auto target = root.getChildFile ("target");

    for (const bool targetExists : { false, true })
    {
        SCOPED_TRACE (targetExists ? "to an existing file" : "to a missing file");

        if (targetExists)
        {
            ASSERT_TRUE (target.replaceWithText ("keep"));
            ::chmod (target.getFullPathName().toRawUTF8(), 0644);
        }

        ASSERT_TRUE (target.createSymbolicLink (lockFile, true));

        const auto held = lock ("Velm Downloader");
        EXPECT_EQ (held->getOutcome(), Outcome::unavailable);
        EXPECT_TRUE (S_ISLNK (lstatOf (lockFile).st_mode));
        EXPECT_EQ (target.existsAsFile(), targetExists);

        if (targetExists)
        {
            EXPECT_EQ (target.loadFileAsString(), "keep");
            EXPECT_EQ (lstatOf (target).st_mode & 07777, 0644u);

            // Nor is the file behind the link locked: a lock of its own succeeds.
            const auto fd = ::open (target.getFullPathName().toRawUTF8(), O_RDONLY | O_CLOEXEC);
            EXPECT_EQ (::flock (fd, LOCK_EX | LOCK_NB), 0);
            ::close (fd);
        }

        ::unlink (lockFile.getFullPathName().toRawUTF8());
    }
}

TEST_F (InstanceLockTest, ProgramsStartedWhileHoldingItDoNotKeepIt)
{
    auto held = lock ("Velm Downloader");
    ASSERT_EQ (held->getOutcome(), Outcome::acquired);

    // posix_spawn returns once the child has run exec, when a descriptor closed on exec is
    // gone from it; any other it keeps, with the lock, for as long as it runs.
    char program[] = "/bin/sleep";
    char seconds[] = "30";
    char* argv[] = { program, seconds, nullptr };
    pid_t child = 0;
    ASSERT_EQ (::posix_spawn (&child, program, nullptr, nullptr, argv, environ), 0);

    held.reset();
    const auto next = lock ("Velm Downloader");
    EXPECT_EQ (next->getOutcome(), Outcome::acquired);

    ::kill (child, SIGKILL);
    ::waitpid (child, nullptr, 0);
}

TEST_F (InstanceLockTest, EveryNameGetsASafeFileOfItsOwn)
{
    const std::vector<juce::String> names {
        "Velm Downloader", "", ".", "..", "/", "//", "../../etc/passwd", "a/b", "a_b", "a?b", "a b", "a\\b",
        "Downloader\n", "-rf", juce::String::repeatedString ("x", 1000),
        juce::String::repeatedString ("x", 1000) + "y", juce::String::repeatedString ("/..", 300),
        juce::String::fromUTF8 ("Übersetzer Downloader"), juce::String::fromUTF8 ("Ubersetzer Downloader"),
        juce::String::fromUTF8 ("\xe3\x83\x80\xe3\x82\xa6\xe3\x83\xb3\xe3\x83\xad\xe3\x83\xbc\xe3\x83\x89"),
        juce::String::fromUTF8 ("\xe3\x83\x80\xe3\x82\xa6\xe3\x83\xb3\xe3\x83\xad\xe3\x83\xbc"),
    };

    // All held at once: every name has its own lock.
    std::vector<std::unique_ptr<InstanceLock>> locks;
    std::set<juce::String> fileNames;

    for (const auto& name : names)
    {
        SCOPED_TRACE (name.toStdString());
        const auto fileName = InstanceLock::fileNameFor (name);
        EXPECT_TRUE (fileName.containsOnly ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_."));
        EXPECT_FALSE (fileName.startsWithChar ('.'));
        EXPECT_LE (fileName.getNumBytesAsUTF8(), 100u);
        fileNames.insert (fileName);

        locks.push_back (lock (name));
        EXPECT_EQ (locks.back()->getOutcome(), Outcome::acquired);
        EXPECT_EQ (locks.back()->getFile().getFileName(), fileName);
    }

    EXPECT_EQ (fileNames.size(), names.size());

    // Each is one file right inside this user's folder, and nothing lies anywhere else.
    const auto folder = locks.front()->getFile().getParentDirectory();
    EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), (int) names.size());
    EXPECT_EQ (shared.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1);
}
