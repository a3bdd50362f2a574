#pragma once

#include <juce_core/juce_core.h>

namespace velm
{
    /** The user's own temporary folder, as the system gives one to each user on Windows:
        $TMPDIR when it is set and not empty; otherwise the folder that only this user may write
        in, the one the single-instance lock uses ($XDG_RUNTIME_DIR when it is this user's closed
        folder, else velm-<uid> in /tmp); and where that cannot be had (squatted by another user,
        a link in its place), a fresh folder of this user's, made 0700 in /tmp. Never /tmp
        itself, unless $TMPDIR names it: there a file that another user made first under the
        same name cannot be removed and would stop every run.

        A default File when not even a fresh folder can be made. */
    juce::File userTemporaryFolder();

    /** The same with the places given in full: temporaryFolder stands for $TMPDIR and
        runtimeFolder for $XDG_RUNTIME_DIR (empty for none), sharedFolder for /tmp. */
    juce::File userTemporaryFolder (const juce::String& temporaryFolder,
                                    const juce::String& runtimeFolder,
                                    const juce::String& sharedFolder);
}
