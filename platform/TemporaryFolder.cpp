#include "platform/TemporaryFolder.h"

#include "platform/PrivateFolder.h"

#include <cstdlib>
#include <stdlib.h>
#include <string>

namespace velm
{
    juce::File userTemporaryFolder()
    {
        return userTemporaryFolder (juce::String::fromUTF8 (std::getenv ("TMPDIR")),
                                    juce::String::fromUTF8 (std::getenv ("XDG_RUNTIME_DIR")),
                                    "/tmp");
    }

    juce::File userTemporaryFolder (const juce::String& temporaryFolder,
                                    const juce::String& runtimeFolder,
                                    const juce::String& sharedFolder)
    {
        // The user's own choice is taken as it stands, as the framework takes it.
        if (temporaryFolder.isNotEmpty())
            return juce::File (temporaryFolder);

        juce::String privatePath;
        const Descriptor privateFolder (openPrivateFolder (runtimeFolder, sharedFolder, privatePath));

        if (privateFolder.isOpen())
            return juce::File (privatePath);

        // Someone has taken this user's place in the shared folder. A folder of a name no one
        // could foresee, made in one step with mode 0700, is this user's alone all the same. It
        // is a new one each time: a name kept from one run to the next could be taken first, as
        // this user's place was.
        const auto templatePath = sharedFolder.trimCharactersAtEnd ("/") + "/" + privateFolderName() + "-XXXXXX";
        std::string path (templatePath.toStdString());

        if (::mkdtemp (path.data()) == nullptr)
            return {};

        return juce::File (juce::String::fromUTF8 (path.c_str()));
    }
}
