#include "platform/PrivateFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velm
{
    void Descriptor::reset (int newFd) noexcept
    {
        if (fd >= 0)
            ::close (fd);

        fd = newFd;
    }

    namespace
    {
        /** Whether an open folder is a real folder of this user's that grants others none of the
            permissions in `refused`. It is the open descriptor that is looked at, so swapping the
            path for something else after the check changes nothing. */
        bool isOwnFolder (int fd, mode_t refused)
        {
            struct stat info {};
            return ::fstat (fd, &info) == 0
                && S_ISDIR (info.st_mode)
                && info.st_uid == ::geteuid()
                && (info.st_mode & refused) == 0;
        }

        /** The runtime folder, when it is this user's and closed to everyone else, as the
            desktop's own runtime folder is. */
        int openRuntimeFolder (const juce::String& path)
        {
            if (! path.startsWithChar ('/'))
                return -1;

            Descriptor folder (::open (path.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));

            if (! folder.isOpen() || ! isOwnFolder (folder.get(), S_IRWXG | S_IRWXO))
                return -1;

            return folder.release();
        }

        /** This user's folder in the shared temporary folder, made 0700 when missing. Anyone may
            have made it first, or put a link or a file there instead: it is used only when,
            opened without following a link, it is a folder of this user's that no one else may
            write in. */
        int openSharedFolder (const juce::String& parentPath, const juce::String& name)
        {
            Descriptor parent (::open (parentPath.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

            if (! parent.isOpen())
                return -1;

            if (::mkdirat (parent.get(), name.toRawUTF8(), S_IRWXU) != 0 && errno != EEXIST)
                return -1;

            Descriptor folder (::openat (parent.get(), name.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));

            if (! folder.isOpen() || ! isOwnFolder (folder.get(), S_IWGRP | S_IWOTH))
                return -1;

            return folder.release();
        }
    }

    juce::String privateFolderName()
    {
        return "velm-" + juce::String ((juce::uint64) ::geteuid());
    }

    int openPrivateFolder (const juce::String& runtimeFolder, const juce::String& sharedFolder, juce::String& path)
    {
        Descriptor folder (openRuntimeFolder (runtimeFolder));

        if (folder.isOpen())
        {
            path = runtimeFolder;
            return folder.release();
        }

        const auto ownName = privateFolderName();
        folder.reset (openSharedFolder (sharedFolder, ownName));

        if (! folder.isOpen())
            return -1;

        path = sharedFolder.trimCharactersAtEnd ("/") + "/" + ownName;
        return folder.release();
    }
}
