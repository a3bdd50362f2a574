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

        pid_t child = 0;
        return posix_spawnp (&child, argv[0], nullptr, nullptr, argv, environ) == 0;
    }

    bool isWebAddress (const juce::String& address)
    {
        return address.startsWithIgnoreCase ("http://") || address.startsWithIgnoreCase ("https://");
    }
}
