#pragma once

// Real folders for the unit tests. Runs of the tests that overlap on one machine (a developer's
// beside CI's, say) share the system's temporary folder, so every folder is made in one step with
// a name of its own.

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace velmunit
{
    /** A new, empty folder of this user's under the system's temporary folder; a default File,
        with the test failed, when none can be made. */
    inline juce::File makeFreshFolder (const juce::String& prefix)
    {
        auto pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                           .getChildFile (prefix + "-XXXXXX").getFullPathName().toStdString();

        if (::mkdtemp (pattern.data()) == nullptr)
        {
            ADD_FAILURE() << "no folder could be made from " << pattern;
            return {};
        }

        return juce::File (juce::String::fromUTF8 (pattern.c_str()));
    }

    inline struct stat lstatOf (const juce::File& f)
    {
        struct stat info {};
        EXPECT_EQ (::lstat (f.getFullPathName().toRawUTF8(), &info), 0) << f.getFullPathName();
        return info;
    }

    /** The uid of 'nobody' where the test may give files away to it (as root); -1 otherwise. */
    inline int otherUser()
    {
        const auto* nobody = ::getpwnam ("nobody");
        return ::geteuid() == 0 && nobody != nullptr ? (int) nobody->pw_uid : -1;
    }

    /** A fresh folder with, inside it, one that stands for /tmp: sticky and open to all. */
    class SharedFolderTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            root = makeFreshFolder ("velm-unit");
            ASSERT_NE (root, juce::File());
            shared = root.getChildFile ("shared");
            ASSERT_TRUE (shared.createDirectory().wasOk());
            ASSERT_EQ (::chmod (shared.getFullPathName().toRawUTF8(), 01777), 0);   // as /tmp is
        }

        void TearDown() override
        {
            if (root != juce::File())
                root.deleteRecursively();
        }

        juce::File root, shared;
    };
}
