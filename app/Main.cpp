#include "app/DownloaderApplication.h"

START_JUCE_APPLICATION (velmDownloaderApplication)
