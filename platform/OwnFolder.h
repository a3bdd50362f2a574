#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** Whether the path names a folder that belongs to the user running the program: a folder
        that this user owns, found at the path itself or through symbolic links that this user or
        root made there (as many as the system would follow).

        Anything else at the path is no folder of the user's: a folder of another user's, a link
        that another user made (whatever it points at), a link to another user's folder, a file,
        or nothing at all. In a folder that every user may write in, another user can put any of
        these in place before the program looks, and then replace what is written there. The
        folder's mode is the user's own choice, and is not looked at. */
    bool isUsersOwnFolder (const juce::File& folder);
}
