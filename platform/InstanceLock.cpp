#include "platform/InstanceLock.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velm
{
    namespace
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

            void reset (int newFd = -1) noexcept
            {
                if (fd >= 0)
                    ::close (fd);

                fd = newFd;
            }

        private:
            int fd;

            JUCE_DECLARE_NON_COPYABLE (Descriptor)
        };

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
        int openSharedFolder (const juce::String& parentPath, const std::string& name)
        {
            Descriptor parent (::open (parentPath.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

            if (! parent.isOpen())
                return -1;

            if (::mkdirat (parent.get(), name.c_str(), S_IRWXU) != 0 && errno != EEXIST)
                return -1;

            Descriptor folder (::openat (parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));

            if (! folder.isOpen() || ! isOwnFolder (folder.get(), S_IWGRP | S_IWOTH))
                return -1;

            return folder.release();
        }

        bool isSafeFileNameCharacter (juce::juce_wchar c)
        {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                || c == '-' || c == '_';
        }
    }

    InstanceLock::InstanceLock (const juce::String& applicationName)
        : InstanceLock (applicationName, juce::String::fromUTF8 (std::getenv ("XDG_RUNTIME_DIR")), "/tmp")
    {
        // The shared folder is /tmp itself and not $TMPDIR: two copies started with different
        // temporary folders must still meet at one lock.
    }

    InstanceLock::InstanceLock (const juce::String& applicationName,
                                const juce::String& runtimeFolder,
                                const juce::String& sharedFolder)
    {
        // Whenever the lock cannot be set up (the folder squatted by another user, a link in its
        // place, no folder that may be written in, a file system without flock) the outcome
        // stays "unavailable" and the copy runs: a single-instance rule that cannot be enforced
        // must not keep a user from the program altogether.
        juce::String folderPath = runtimeFolder;
        Descriptor folder (openRuntimeFolder (runtimeFolder));

        if (! folder.isOpen())
        {
            const auto ownName = "velm-" + std::to_string (::geteuid());
            folderPath = sharedFolder.trimCharactersAtEnd ("/") + "/" + juce::String (ownName);
            folder.reset (openSharedFolder (sharedFolder, ownName));
        }

        if (! folder.isOpen())
            return;

        const auto fileName = fileNameFor (applicationName);
        Descriptor lockFile (::openat (folder.get(), fileName.toRawUTF8(),
                                       O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));

        if (! lockFile.isOpen())
            return;

        file = juce::File (folderPath).getChildFile (fileName);

        // flock belongs to the open file description: another open of the same file, even in
        // this process, is refused it, and it ends only when every descriptor of this one is
        // closed.
        for (;;)
        {
            if (::flock (lockFile.get(), LOCK_EX | LOCK_NB) == 0)
            {
                outcome = Outcome::acquired;
                descriptor = lockFile.release();
                return;
            }

            if (errno == EINTR)
                continue;

            if (errno == EWOULDBLOCK)
                outcome = Outcome::heldElsewhere;

            return;
        }
    }

    InstanceLock::~InstanceLock()
    {
        // The file stays: removing it would let a copy that opened it just before keep a lock on
        // a file that the next copy no longer finds, and both would run.
        if (descriptor >= 0)
            ::close (descriptor);
    }

    juce::String InstanceLock::fileNameFor (const juce::String& applicationName)
    {
        // A readable part, cleaned to letters, digits, '-' and '_' and cut short, and a hash of
        // the whole name, so that names that clean up or cut alike still get locks of their own.
        constexpr int readableLength = 64;
        juce::String readable;

        for (auto p = applicationName.getCharPointer(); ! p.isEmpty() && readable.length() < readableLength;)
        {
            const auto c = p.getAndAdvance();
            readable << juce::String::charToString (isSafeFileNameCharacter (c) ? c : '_');
        }

        const auto hash = juce::SHA256 (applicationName.toUTF8()).toHexString().substring (0, 16);

        return readable + "-" + hash + ".lock";
    }
}
