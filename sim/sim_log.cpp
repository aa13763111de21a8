// The request log's text form: one line per open, close or request.
#include "sim_internal.h"

#include <cstdlib>

namespace nxsim {

namespace {

void AppendHex(std::string* line, const std::vector<BYTE>& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    if (bytes.empty()) {
        line->push_back('-');
        return;
    }
    for (BYTE b : bytes) {
        line->push_back(kDigits[b >> 4]);
        line->push_back(kDigits[b & 15]);
    }
}

}  // namespace

std::string FormatLogLine(const LogEntry& entry)
{
    char head[64];
    std::snprintf(head, sizeof(head), "%llu %d ", static_cast<unsigned long long>(entry.sequence),
                  entry.device);
    std::string line = head;
    switch (entry.kind) {
    case LogEntry::Open:
        line += "open";
        break;
    case LogEntry::Close:
        line += "close";
        break;
    case LogEntry::Request: {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%06lX", static_cast<unsigned long>(entry.code));
        line += code;
        break;
    }
    }
    line.push_back(' ');
    AppendHex(&line, entry.in);
    line.push_back(' ');
    AppendHex(&line, entry.out);
    line += entry.ok ? " ok" : " fail";
    return line;
}

LogFile::~LogFile()
{
    Reopen();
}

void LogFile::Reopen()
{
    if (file != nullptr)
        std::fclose(file);
    file = nullptr;
    opened = false;
}

void LogFile::Append(const LogEntry& entry)
{
    if (!opened) {
        opened = true;
        const char* path = std::getenv("NXKD_SIM_LOG");
        if (path != nullptr && path[0] != '\0')
            file = std::fopen(path, "a");
    }
    if (file == nullptr)
        return;
    std::string line = FormatLogLine(entry);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

}  // namespace nxsim
