#include "tests/support/BuildPaths.h"

const std::string& buildDir()
{
    static const std::string dir = KADREL_BUILD_DIR;
    return dir;
}

const std::string& sourceDir()
{
    static const std::string dir = KADREL_SOURCE_DIR;
    return dir;
}
