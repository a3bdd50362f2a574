#pragma once

#include <juce_core/juce_core.h>

#include <utility>

namespace velm
{
    /** An open descriptor, closed when it goes out of scope unless it is released. */
    class Descriptor
    {
    public:
        explicit Descriptor (int fdToOwn = -1) noexcept  : fd (fdToOwn) {}
        ~Descriptor()                                    { reset(); }

        int get() const noexcept       { return fd; }
        bool isOpen() const noexcept   { return fd >= 0; }
        int release() noexcept         { return std::exchange (fd, -1); }

        void reset (int newFd = -1) noexcept;

    private:
        int fd;

        JUCE_DECLARE_NON_COPYABLE (Descriptor)
    };

    /** The name of this user's own folder in the shared temporary folder: velm-<uid>. */
    juce::String privateFolderName();

    /** Opens the folder that only this user may write in: runtimeFolder (which stands for
        $XDG_RUNTIME_DIR, empty for none) when it is this user's own folder closed to everyone
        else, otherwise the folder velm-<uid> in sharedFolder (which stands for /tmp), made 0700
        when it is missing and used only when, opened without following a link, it is a real
        folder of this user's that no one else may write in.

        Returns the folder's descriptor, closed on exec, which the caller then owns, and sets
        path to where it was found; returns -1, leaving path alone, when neither can be used
        (the shared one squatted by another user, a link or a file in its place, no folder that
        may be written in). */
    int openPrivateFolder (const juce::String& runtimeFolder, const juce::String& sharedFolder, juce::String& path);
}
