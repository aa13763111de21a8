// The NXKD_SIM configuration file: one "[device N]" section per present device object,
// "key = value" lines, '#' starts a comment.
#include "sim_internal.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nxsim {

namespace {

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

// A whole word as an integer within [low, high]; base 10, or 16 with `hex`
// (an optional 0x prefix is accepted then).
bool ParseInteger(const std::string& word, long long low, long long high, bool hex, long long* value)
{
    std::string digits = word;
    if (hex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0' || parsed < low || parsed > high)
        return false;
    if (hex && (digits[0] == '-' || digits[0] == '+'))
        return false;
    *value = parsed;
    return true;
}

constexpr long long kLongMin = -2147483647LL - 1;
constexpr long long kLongMax = 2147483647LL;
constexpr long long kDwordMax = 4294967295LL;

// Reads exactly `count` integers (count 0: one or more) within [low, high].
bool ParseList(const std::string& value, size_t count, long long low, long long high, bool hex,
               std::vector<long long>* numbers)
{
    std::vector<std::string> words = Words(value);
    if (words.empty() || (count != 0 && words.size() != count))
        return false;
    numbers->clear();
    for (const std::string& word : words) {
        long long number = 0;
        if (!ParseInteger(word, low, high, hex, &number))
            return false;
        numbers->push_back(number);
    }
    return true;
}

bool ParseOne(const std::string& value, long long low, long long high, LONG* result)
{
    std::vector<long long> numbers;
    if (!ParseList(value, 1, low, high, false, &numbers))
        return false;
    *result = static_cast<LONG>(numbers[0]);
    return true;
}

bool ParseFlag(const std::string& value, bool* result)
{
    LONG number = 0;
    if (!ParseOne(value, 0, 1, &number))
        return false;
    *result = number != 0;
    return true;
}

// Applies one key to a device; false for an unknown key or a bad value.
bool ApplyKey(const std::string& key, const std::string& value, DeviceConfig* config, std::string* what)
{
    std::vector<long long> numbers;
    LONG number = 0;
    bool ok = true;
    if (key == "ready") {
        ok = ParseOne(value, kLongMin, kLongMax, &config->ready);
    } else if (key == "sample_rate") {
        ok = ParseOne(value, 1, kLongMax, &number);
        config->sampleRate = static_cast<DWORD>(number);
    } else if (key == "rates") {
        ok = ParseList(value, 0, 1, kLongMax, false, &numbers);
        config->rates.assign(numbers.begin(), numbers.end());
    } else if (key == "bytes_per_sample") {
        ok = ParseOne(value, 1, 8, &config->bytesPerSample);
    } else if (key == "inputs" || key == "outputs") {
        ok = ParseOne(value, 0, 255, &number);
        (key == "inputs" ? config->inputs : config->outputs) = number;
    } else if (key == "buffer_size") {
        ok = ParseList(value, 4, kLongMin, kLongMax, false, &numbers);
        if (ok)
            config->bufferSize = {static_cast<LONG>(numbers[0]), static_cast<LONG>(numbers[1]),
                                  static_cast<LONG>(numbers[2]), static_cast<LONG>(numbers[3])};
    } else if (key == "latency") {
        ok = ParseList(value, 2, kLongMin, kLongMax, false, &numbers);
        if (ok) {
            config->inputLatency = static_cast<LONG>(numbers[0]);
            config->outputLatency = static_cast<LONG>(numbers[1]);
        }
    } else if (key == "latency_level") {
        ok = ParseOne(value, kLongMin, kLongMax, &config->latencyLevel);
    } else if (key == "verdict") {
        ok = ParseOne(value, kLongMin, kLongMax, &config->verdict);
    } else if (key == "client_active") {
        ok = ParseOne(value, kLongMin, kLongMax, &config->clientActive);
    } else if (key == "kx_running") {
        ok = ParseOne(value, kLongMin, kLongMax, &config->kxRunning);
    } else if (key == "loopback") {
        ok = ParseFlag(value, &config->loopback);
    } else if (key == "follows_rate_change") {
        ok = ParseFlag(value, &config->followsRateChange);
    } else if (key == "complete_map_at_once") {
        ok = ParseFlag(value, &config->completeMapAtOnce);
    } else if (key == "external_clock") {
        ok = ParseOne(value, 0, 255, &number);
        config->externalClock = static_cast<BYTE>(number);
    } else if (key == "clock_locked") {
        ok = ParseOne(value, 0, 255, &number);
        config->clockLocked = static_cast<BYTE>(number);
    } else if (key == "clock") {
        std::vector<std::string> words = Words(value);
        ok = words.size() == 1 && (words[0] == "realtime" || words[0] == "manual");
        if (ok)
            config->clock = words[0] == "manual" ? Clock::Manual : Clock::Realtime;
    } else if (key == "fail") {
        std::vector<std::string> words = Words(value);
        ok = !words.empty();
        config->fail.clear();
        if (ok && !(words.size() == 1 && words[0] == "none")) {
            ok = ParseList(value, 0, 0, kDwordMax, true, &numbers);
            config->fail.assign(numbers.begin(), numbers.end());
        }
    } else {
        *what = "unknown key '" + key + "'";
        return false;
    }
    if (!ok)
        *what = "bad value for '" + key + "': '" + value + "'";
    return ok;
}

// "[device N]" with N from 1 to 8; 0 when the line is not such a header.
int SectionNumber(const std::string& line)
{
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return 0;
    std::vector<std::string> words = Words(line.substr(1, line.size() - 2));
    long long number = 0;
    if (words.size() != 2 || words[0] != "device" || !ParseInteger(words[1], 1, 8, false, &number))
        return 0;
    return static_cast<int>(number);
}

}  // namespace

bool ParseConfigText(const std::string& text, std::vector<ConfiguredDevice>* devices, std::string* error)
{
    devices->clear();
    std::istringstream stream(text);
    std::string raw;
    int lineNumber = 0;
    auto fail = [&](const std::string& what) {
        if (error != nullptr)
            *error = "line " + std::to_string(lineNumber) + ": " + what;
        devices->clear();
        return false;
    };
    while (std::getline(stream, raw)) {
        ++lineNumber;
        std::string line = Trim(raw.substr(0, raw.find('#')));
        if (line.empty())
            continue;
        if (line.front() == '[') {
            int number = SectionNumber(line);
            if (number == 0)
                return fail("bad section '" + line + "' (expected [device 1] to [device 8])");
            for (const ConfiguredDevice& device : *devices) {
                if (device.number == number)
                    return fail("device " + std::to_string(number) + " given twice");
            }
            devices->push_back({number, DeviceConfig()});
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            return fail("expected 'key = value': '" + line + "'");
        if (devices->empty())
            return fail("key outside a [device N] section");
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        std::string what;
        if (!ApplyKey(key, value, &devices->back().config, &what))
            return fail(what);
    }
    return true;
}

bool ReadTextFile(const std::string& path, std::string* text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream contents;
    contents << file.rdbuf();
    *text = contents.str();
    return true;
}

bool Simulator::LoadConfigFile(const std::string& path, std::string* error)
{
    std::string text;
    if (!ReadTextFile(path, &text)) {
        if (error != nullptr)
            *error = "cannot read '" + path + "'";
        return false;
    }
    std::vector<ConfiguredDevice> devices;
    if (!ParseConfigText(text, &devices, error))
        return false;
    Reset();
    for (const ConfiguredDevice& device : devices)
        AddDevice(device.number, device.config);
    return true;
}

}  // namespace nxsim
