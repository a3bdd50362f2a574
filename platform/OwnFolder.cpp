#include "platform/OwnFolder.h"

#include <climits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace velm
{
    namespace
    {
        /** The most links that the system follows in one path (Linux's own limit). */
        constexpr int maxLinksFollowed = 40;

        /** Where a link points, read from the link itself; empty when it cannot be read. */
        std::string linkTarget (const std::string& link)
        {
            std::string target (PATH_MAX, '\0');
            const auto length = ::readlink (link.c_str(), target.data(), target.size());

            if (length <= 0 || (size_t) length >= target.size())
                return {};

            target.resize ((size_t) length);
            return target;
        }

        /** The target of the link at path as a path of its own: a relative one is read from the
            link's folder. A slash at the end would make the system follow a link named there
            without it being looked at, so none is kept. */
        std::string resolvedTarget (const std::string& path, std::string target)
        {
            if (target.front() != '/')
                target = path.substr (0, path.find_last_of ('/') + 1) + target;

            while (target.size() > 1 && target.back() == '/')
                target.pop_back();

            return target;
        }
    }

    bool isUsersOwnFolder (const juce::File& folder)
    {
        const auto original = folder.getFullPathName().toStdString();
        auto path = original;
        const auto user = ::geteuid();

        for (int links = 0; ! path.empty() && links <= maxLinksFollowed; ++links)
        {
            struct stat info {};

            if (::lstat (path.c_str(), &info) != 0)
                return false;

            if (S_ISDIR (info.st_mode))
            {
                // The folder that the system itself reaches at the path must be this one: it may
                // refuse to follow a link that the walk accepted (a link of root's in another
                // user's folder that all may write in, say), and links may change meanwhile.
                struct stat reached {};

                return info.st_uid == user
                    && ::stat (original.c_str(), &reached) == 0
                    && reached.st_dev == info.st_dev
                    && reached.st_ino == info.st_ino;
            }

            // The link's owner chose where it points, and could point it elsewhere: only this
            // user and root are trusted to.
            if (! S_ISLNK (info.st_mode) || (info.st_uid != user && info.st_uid != 0))
                return false;

            const auto target = linkTarget (path);

            if (target.empty())
                return false;

            path = resolvedTarget (path, target);
        }

        return false;
    }
}
