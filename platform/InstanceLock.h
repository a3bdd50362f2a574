#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** Lets one copy of a program run per user and application name, the way a named mutex of
        the user's session would: copies of one user exclude each other, copies of different
        users never meet.

        The lock is an exclusive flock() on a file in a folder that only this user may write in:
        $XDG_RUNTIME_DIR when it is this user's own closed folder, otherwise the folder
        velm-<uid> in /tmp, made 0700 when it is missing. The file is created 0600, is never
        reached through a symbolic link, and its descriptor is closed on exec, so that no program
        that this one starts goes on holding the lock after it ends.

        The lock is held for as long as the object lives. */
    class InstanceLock
    {
    public:
        enum class Outcome
        {
            acquired,        ///< this object holds the lock
            heldElsewhere,   ///< another copy of this user's holds it
            unavailable      ///< there is no safe place for the lock: it cannot be enforced
        };

        /** Takes the lock for the application name without waiting. */
        explicit InstanceLock (const juce::String& applicationName);

        /** The same with the places given in full: runtimeFolder stands for $XDG_RUNTIME_DIR
            (empty for none), sharedFolder for /tmp. */
        InstanceLock (const juce::String& applicationName,
                      const juce::String& runtimeFolder,
                      const juce::String& sharedFolder);

        ~InstanceLock();

        Outcome getOutcome() const noexcept         { return outcome; }
        bool isHeldElsewhere() const noexcept       { return outcome == Outcome::heldElsewhere; }

        /** The lock file; a default File when no place could be used. */
        const juce::File& getFile() const noexcept  { return file; }

        /** The lock file's name for an application name: a single, safe file name whatever the
            name holds, and different for different names. */
        static juce::String fileNameFor (const juce::String& applicationName);

    private:
        int descriptor = -1;
        Outcome outcome = Outcome::unavailable;
        juce::File file;

        JUCE_DECLARE_NON_COPYABLE (InstanceLock)
    };
}
