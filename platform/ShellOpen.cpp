#include "platform/ShellOpen.h"

#include <spawn.h>

extern char** environ;

namespace velm
{
    bool openWithDefaultApplication (const juce::String& fileOrAddress)
    {
        if (fileOrAddress.isEmpty())
            return false;

        juce::String program ("xdg-open");
        std::string argument (fileOrAddress.toRawUTF8());
        char* argv[] = { const_cast<char*> (program.toRawUTF8()), argument.data(), nullptr };

        // The opener gets standard input, output and error and nothing else: what it starts may
        // outlive this program by hours, and would otherwise keep its display connection, its
        // sockets and its pipes open all that time.
        posix_spawn_file_actions_t actions;
        if (posix_spawn_file_actions_init (&actions) != 0)
            return false;

        pid_t child = 0;
        const auto started = posix_spawn_file_actions_addclosefrom_np (&actions, 3) == 0
                               && posix_spawnp (&child, argv[0], &actions, nullptr, argv, environ) == 0;
        posix_spawn_file_actions_destroy (&actions);
        return started;
    }

    bool isWebAddress (const juce::String& address)
    {
        return address.startsWithIgnoreCase ("http://") || address.startsWithIgnoreCase ("https://");
    }
}
