// A minimal JSON writer for the host's machine-readable summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace asiohost {

class JsonWriter {
public:
    void BeginObject(const char* key = nullptr) { Open(key, '{'); }
    void EndObject() { Close('}'); }
    void BeginArray(const char* key = nullptr) { Open(key, '['); }
    void EndArray() { Close(']'); }

    void String(const char* key, const std::string& value)
    {
        Key(key);
        Quote(value);
    }
    void Bool(const char* key, bool value)
    {
        Key(key);
        out += value ? "true" : "false";
    }
    void Null(const char* key)
    {
        Key(key);
        out += "null";
    }
    void Int(const char* key, std::int64_t value)
    {
        Key(key);
        out += std::to_string(value);
    }
    void Uint(const char* key, std::uint64_t value)
    {
        Key(key);
        out += std::to_string(value);
    }
    void Number(const char* key, double value)
    {
        Key(key);
        char text[40];
        std::snprintf(text, sizeof text, "%.10g", value);
        out += text;
    }

    const std::string& Text() const { return out; }

private:
    void Open(const char* key, char bracket)
    {
        Key(key);
        out += bracket;
        first.push_back(true);
    }
    void Close(char bracket)
    {
        first.pop_back();
        out += '\n';
        out.append(first.size() * 2, ' ');
        out += bracket;
    }
    void Key(const char* key)
    {
        if (!first.empty()) {
            if (!first.back())
                out += ',';
            first.back() = false;
            out += '\n';
            out.append(first.size() * 2, ' ');
        }
        if (key != nullptr) {
            Quote(key);
            out += ": ";
        }
    }
    void Quote(const std::string& text)
    {
        out += '"';
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '"';
    }

    std::string out;
    std::vector<bool> first;  // per open container: nothing written into it yet
};

}  // namespace asiohost
