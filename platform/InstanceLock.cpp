#include "platform/InstanceLock.h"

#include "platform/PrivateFolder.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velm
{
    namespace
    {
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
        juce::String folderPath;
        Descriptor folder (openPrivateFolder (runtimeFolder, sharedFolder, folderPath));

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
