#pragma once

// Real folders for the unit tests, each in a test folder of its own.

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <pwd.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace velmunit
{
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

    /** A way for someone else to hold the place where this user's private folder would be made
        in the shared folder, before this user comes. */
    struct Squatting
    {
        const char* name;
        std::function<bool()> plant;   // puts it in place; false when it could not
        bool givesAway = false;        // needs root: a folder is given to another user
    };

    /** Every way of holding place, with decoy as a folder of this user's that a link may point to. */
    inline std::vector<Squatting> squattingsOf (const juce::File& place, const juce::File& decoy)
    {
        const auto chmodTo = [] (const juce::File& f, mode_t mode) { return ::chmod (f.getFullPathName().toRawUTF8(), mode) == 0; };

        return {
            { "another user's folder", [=] {
                  return place.createDirectory().wasOk() && chmodTo (place, 0755)
                      && ::chown (place.getFullPathName().toRawUTF8(), (uid_t) otherUser(), (gid_t) -1) == 0; }, true },
            { "own folder open to all", [=] { return place.createDirectory().wasOk() && chmodTo (place, 0777); } },
            { "link to a folder of ours", [=] {
                  return decoy.createDirectory().wasOk() && chmodTo (decoy, 0700) && decoy.createSymbolicLink (place, true); } },
            { "a plain file", [=] { return place.replaceWithText ("squatted"); } },
        };
    }

    /** A fresh folder with, inside it, one that stands for /tmp: sticky and open to all. */
    class SharedFolderTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE (shared.createDirectory().wasOk());
            ASSERT_EQ (::chmod (shared.getFullPathName().toRawUTF8(), 01777), 0);   // as /tmp is
        }

        velmtest::TempFolder temporary;
        const juce::File root { temporary.get() }, shared { temporary / "shared" };
    };
}
