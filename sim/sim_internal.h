// Pieces of the simulated kernel driver shared between its source files.
#pragma once

#include "nxkd_sim.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace nxsim {

// One present device object of a configuration file.
struct ConfiguredDevice {
    int number;
    DeviceConfig config;
};

// Parses the NXKD_SIM format. On error returns false with "line N: what" in *error.
bool ParseConfigText(const std::string& text, std::vector<ConfiguredDevice>* devices,
                     std::string* error);

// Reads a whole file; false when it cannot be opened.
bool ReadTextFile(const std::string& path, std::string* text);

// Appends log lines to the file named by NXKD_SIM_LOG (nothing when it is unset).
// Not thread-safe by itself: the simulator calls it under its lock.
class LogFile {
public:
    ~LogFile();
    void Append(const LogEntry& entry);
    // Closes the file; the next Append reads NXKD_SIM_LOG again.
    void Reopen();

private:
    bool opened = false;     // the environment has been read
    std::FILE* file = nullptr;
};

}  // namespace nxsim
