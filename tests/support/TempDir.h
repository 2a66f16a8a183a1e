#pragma once
// A scratch folder removed with its contents at the end of the test, and a sandbox of the
// XDG folders so no test reads or writes the real home folder's settings.
#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Creates a sub-folder (with parents) and returns its path.
    std::string mkdir(const std::string& relative) const;

private:
    std::string path_;
};

// Points HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR into a fresh TempDir for the process.
class XdgSandbox {
public:
    XdgSandbox();
    const std::string& home() const { return dir_.path(); }
    std::string configDir() const { return dir_.path() + "/config"; }
    std::string runtimeDir() const { return dir_.path() + "/runtime"; }
    std::string portsDir() const { return runtimeDir() + "/kadrel/ports"; }
    std::string settingsFile() const { return configDir() + "/kadrel/z.cf"; }

private:
    TempDir dir_;
};

// A whole file as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
// Replaces a whole file, making its folder first.
void writeFile(const std::string& path, const std::string& content);
