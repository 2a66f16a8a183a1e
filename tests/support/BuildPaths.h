#pragma once
// Where this build and its sources are. Only BuildPaths.cpp is compiled with the two paths, so
// the other test objects do not depend on where the clone lies and the compiler cache serves
// them to another clone too.
#include <string>

const std::string& buildDir();    // the build folder (build/kadrel, build/kadrel-sim)
const std::string& sourceDir();   // the source tree's top
