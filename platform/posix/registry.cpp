// The in-process registry: a tree of keys under four roots, with the Win32 semantics the
// product relies on (access checks, size-first queries, enumeration order, deletion of
// leaf keys only, stale handles of deleted keys). When NX_REGISTRY_FILE names a file the
// registry is read from it at first use and written back after every change.
//
// File format (text, one item a line; ';' starts a comment line):
//   [HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\BRIXEN]     a key (every key is listed, empty or not)
//   @=sz:"C:\\Windows\\system32\\Nxqe2650.dll"    the default value, REG_SZ
//   "Name"=expand:"..."                       REG_EXPAND_SZ
//   "Level"=dword:00000005                    REG_DWORD (hex)
//   "Blob"=hex(3):01,00,ff                    any other type (hex type and bytes)
// Strings escape \\, \" and control bytes as \xHH; sz/expand hold one terminating zero.
#include "objects.h"
#include "test_hooks.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace {

struct Value {
    std::string name;  // as first written
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::string name;  // as created
    bool deleted = false;
    std::map<std::string, std::shared_ptr<Key>> children;  // by lower-case name: enumeration order
    std::map<std::string, Value> values;                   // by lower-case name
};

struct OpenKey {
    std::shared_ptr<Key> key;
    REGSAM access;
};

const char* const kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS"};
constexpr int kRootCount = 4;
constexpr ULONG_PTR kFirstRoot = 0x80000000UL;
const char* const kDefaultSystemDirectory = "C:\\Windows\\system32";

struct Registry {
    std::mutex lock;
    // Everything below is guarded by lock.
    std::shared_ptr<Key> roots[kRootCount];
    std::unordered_map<HKEY, OpenKey> handles;
    ULONG_PTR nextHandle = 0x10000000;
    bool loaded = false;  // NX_REGISTRY_FILE read (or the registry set up in code)
    std::string systemDirectory = kDefaultSystemDirectory;
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry;  // never destroyed: keys may close during exit
    return *registry;
}

std::string Lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// ---- tree -----------------------------------------------------------------------------

void MarkDeleted(Key& key)
{
    key.deleted = true;
    for (auto& child : key.children)
        MarkDeleted(*child.second);
}

void ClearTree(Registry& registry)
{
    for (auto& root : registry.roots) {
        if (root)
            MarkDeleted(*root);
        root = std::make_shared<Key>();
    }
}

std::vector<std::string> SplitPath(const char* path)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = path ? path : ""; ; ++p) {
        if (*p == '\\' || *p == 0) {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
            if (*p == 0)
                break;
        } else {
            part += *p;
        }
    }
    return parts;
}

std::shared_ptr<Key> FindChild(const Key& key, const std::string& name)
{
    auto found = key.children.find(Lower(name));
    return found == key.children.end() ? nullptr : found->second;
}

// ---- persistence ----------------------------------------------------------------------

std::string Escape(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Reads a quoted string at text[pos] (at the opening quote); pos ends after the closing one.
bool ReadQuoted(const std::string& text, std::size_t& pos, std::string* out)
{
    if (pos >= text.size() || text[pos] != '"')
        return false;
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= text.size())
                return false;
            if (text[pos] == 'x') {
                if (pos + 2 >= text.size())
                    return false;
                *out += static_cast<char>(std::strtol(text.substr(pos + 1, 2).c_str(), nullptr, 16));
                pos += 2;
                continue;
            }
            c = text[pos];
        }
        *out += c;
    }
    return false;
}

bool IsPlainString(const Value& value)
{
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ)
        return false;
    if (value.data.empty() || value.data.back() != 0)
        return false;
    for (std::size_t i = 0; i + 1 < value.data.size(); ++i) {
        if (value.data[i] == 0)
            return false;
    }
    return true;
}

void WriteValue(std::ostream& out, const Value& value)
{
    if (value.name.empty())
        out << '@';
    else
        out << '"' << Escape(value.name) << '"';
    out << '=';
    if (IsPlainString(value)) {
        out << (value.type == REG_SZ ? "sz:\"" : "expand:\"")
            << Escape(std::string(value.data.begin(), value.data.end() - 1)) << "\"\n";
        return;
    }
    char text[16];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD number;
        std::memcpy(&number, value.data.data(), 4);
        std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(number));
        out << "dword:" << text << '\n';
        return;
    }
    std::snprintf(text, sizeof text, "hex(%x):", static_cast<unsigned>(value.type));
    out << text;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(text, sizeof text, i == 0 ? "%02x" : ",%02x", value.data[i]);
        out << text;
    }
    out << '\n';
}

void WriteKey(std::ostream& out, const std::string& path, const Key& key, bool isRoot)
{
    if (!isRoot || !key.values.empty()) {
        out << '[' << path << "]\n";
        for (const auto& value : key.values)
            WriteValue(out, value.second);
    }
    for (const auto& child : key.children)
        WriteKey(out, path + "\\" + child.second->name, *child.second, false);
}

// With the lock held.
bool SaveTo(const Registry& registry, const std::string& path)
{
    std::ostringstream out;
    out << "; BRIXEN in-process registry\n";
    for (int i = 0; i < kRootCount; ++i)
        WriteKey(out, kRootNames[i], *registry.roots[i], true);
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file)
            return false;
        file << out.str();
        if (!file.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// Parses the value part after '=' of a value line.
bool ParseData(const std::string& line, std::size_t pos, Value* value)
{
    const std::string rest = line.substr(pos);
    if (rest.compare(0, 3, "sz:") == 0 || rest.compare(0, 7, "expand:") == 0) {
        value->type = rest[0] == 's' ? REG_SZ : REG_EXPAND_SZ;
        std::size_t at = rest.find('"');
        std::string text;
        if (at == std::string::npos || !ReadQuoted(rest, at, &text))
            return false;
        value->data.assign(text.begin(), text.end());
        value->data.push_back(0);
        return true;
    }
    if (rest.compare(0, 6, "dword:") == 0) {
        const DWORD number = static_cast<DWORD>(std::strtoul(rest.c_str() + 6, nullptr, 16));
        value->type = REG_DWORD;
        value->data.resize(4);
        std::memcpy(value->data.data(), &number, 4);
        return true;
    }
    if (rest.compare(0, 4, "hex(") == 0) {
        char* end = nullptr;
        value->type = static_cast<DWORD>(std::strtoul(rest.c_str() + 4, &end, 16));
        if (end == nullptr || end[0] != ')' || end[1] != ':')
            return false;
        for (const char* p = end + 2; *p != 0;) {
            char* next = nullptr;
            const unsigned long byte = std::strtoul(p, &next, 16);
            if (next == p || byte > 0xFF)
                return false;
            value->data.push_back(static_cast<BYTE>(byte));
            p = *next == ',' ? next + 1 : next;
            if (*next != ',' && *next != 0)
                return false;
        }
        return true;
    }
    return false;
}

// Builds a fresh tree from the file into roots; false when unreadable or malformed.
bool ParseFile(const std::string& path, std::shared_ptr<Key> (&roots)[kRootCount])
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    for (auto& root : roots)
        root = std::make_shared<Key>();
    std::shared_ptr<Key> current;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            const std::size_t close = line.rfind(']');
            if (close == std::string::npos)
                return false;
            std::vector<std::string> parts = SplitPath(line.substr(1, close - 1).c_str());
            current = nullptr;
            for (int i = 0; i < kRootCount && !parts.empty(); ++i) {
                if (Lower(parts[0]) == Lower(kRootNames[i]))
                    current = roots[i];
            }
            if (!current)
                return false;
            for (std::size_t i = 1; i < parts.size(); ++i) {
                std::shared_ptr<Key>& child = current->children[Lower(parts[i])];
                if (!child) {
                    child = std::make_shared<Key>();
                    child->name = parts[i];
                }
                current = child;
            }
            continue;
        }
        if (!current)
            return false;
        Value value;
        std::size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, pos, &value.name)) {
            return false;
        }
        if (pos >= line.size() || line[pos] != '=' || !ParseData(line, pos + 1, &value))
            return false;
        current->values[Lower(value.name)] = value;
    }
    return true;
}

// ---- the lock and the handles ---------------------------------------------------------

// Holds the registry lock for one call, reading NX_REGISTRY_FILE first if not done yet.
class Session {
public:
    Session() : registry(TheRegistry()), hold(registry.lock)
    {
        if (!registry.roots[0])
            ClearTree(registry);
        if (!registry.loaded) {
            registry.loaded = true;
            if (const char* file = std::getenv("NX_REGISTRY_FILE")) {
                std::shared_ptr<Key> roots[kRootCount];
                if (ParseFile(file, roots)) {
                    for (int i = 0; i < kRootCount; ++i)
                        registry.roots[i] = roots[i];
                }
            }
        }
    }

    // After a change: write the file back when one is configured.
    void Changed()
    {
        if (const char* file = std::getenv("NX_REGISTRY_FILE"))
            SaveTo(registry, file);
    }

    // The key and access of a handle (roots have full access); ERROR_* on failure.
    LONG Resolve(HKEY handle, OpenKey* out)
    {
        const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
        if (value >= kFirstRoot && value < kFirstRoot + kRootCount) {
            *out = OpenKey{registry.roots[value - kFirstRoot], KEY_ALL_ACCESS};
            return ERROR_SUCCESS;
        }
        auto found = registry.handles.find(handle);
        if (found == registry.handles.end())
            return ERROR_INVALID_HANDLE;
        if (found->second.key->deleted)
            return ERROR_KEY_DELETED;
        *out = found->second;
        return ERROR_SUCCESS;
    }

    HKEY AddHandle(const std::shared_ptr<Key>& key, REGSAM access)
    {
        HKEY handle = reinterpret_cast<HKEY>(registry.nextHandle);
        registry.nextHandle += 4;
        registry.handles[handle] = OpenKey{key, access & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY)};
        return handle;
    }

    Registry& registry;

private:
    std::lock_guard<std::mutex> hold;  // guards the whole registry for the call
};

LONG CheckAccess(const OpenKey& key, REGSAM needed)
{
    return (key.access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// ---- text of the W entry points -------------------------------------------------------

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-16 bytes (terminators and all) to the same characters in UTF-8.
std::vector<BYTE> WideBytesToNarrow(const BYTE* data, DWORD size)
{
    std::u16string wide(size / 2, u'\0');
    if (!wide.empty())
        std::memcpy(&wide[0], data, wide.size() * 2);
    std::string narrow;
    std::size_t start = 0;
    while (start <= wide.size()) {
        std::size_t end = wide.find(u'\0', start);
        if (end == std::u16string::npos)
            end = wide.size();
        narrow += nxplat::Utf16ToUtf8(wide.substr(start, end - start).c_str());
        if (end < wide.size())
            narrow += '\0';
        start = end + 1;
    }
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

std::vector<BYTE> NarrowBytesToWide(const std::vector<BYTE>& data)
{
    std::u16string wide;
    std::size_t start = 0;
    const std::string narrow(data.begin(), data.end());
    while (start <= narrow.size()) {
        std::size_t end = narrow.find('\0', start);
        if (end == std::string::npos)
            end = narrow.size();
        wide += nxplat::Utf8ToUtf16(narrow.substr(start, end - start));
        if (end < narrow.size())
            wide += u'\0';
        start = end + 1;
    }
    std::vector<BYTE> out(wide.size() * 2);
    if (!out.empty())
        std::memcpy(out.data(), wide.data(), out.size());
    return out;
}

// ---- the operations, on UTF-8 names ---------------------------------------------------

LONG OpenOrCreate(HKEY base, const char* subKey, REGSAM access, bool create, PHKEY result,
                  LPDWORD disposition)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Session session;
    OpenKey start;
    if (LONG error = session.Resolve(base, &start))
        return error;
    std::shared_ptr<Key> key = start.key;
    bool created = false;
    for (const std::string& part : SplitPath(subKey)) {
        std::shared_ptr<Key> child = FindChild(*key, part);
        if (!child) {
            if (!create)
                return ERROR_FILE_NOT_FOUND;
            if (CheckAccess(start, KEY_CREATE_SUB_KEY) != ERROR_SUCCESS)
                return ERROR_ACCESS_DENIED;
            child = std::make_shared<Key>();
            child->name = part;
            key->children[Lower(part)] = child;
            created = true;
        }
        key = child;
    }
    *result = session.AddHandle(key, access);
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    if (created)
        session.Changed();
    return ERROR_SUCCESS;
}

LONG SetValue(HKEY handle, const std::string& name, DWORD type, std::vector<BYTE> data)
{
    Session session;
    OpenKey key;
    if (LONG error = session.Resolve(handle, &key))
        return error;
    if (LONG error = CheckAccess(key, KEY_SET_VALUE))
        return error;
    Value& value = key.key->values[Lower(name)];
    if (value.data.empty() && value.type == REG_NONE)
        value.name = name;
    value.type = type;
    value.data = std::move(data);
    session.Changed();
    return ERROR_SUCCESS;
}

// Copies a value out with the size-first protocol; `convert` turns stored strings to UTF-16.
LONG QueryValue(HKEY handle, const std::string& name, LPDWORD type, LPBYTE data, LPDWORD size,
                bool wide)
{
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    Session session;
    OpenKey key;
    if (LONG error = session.Resolve(handle, &key))
        return error;
    if (LONG error = CheckAccess(key, KEY_QUERY_VALUE))
        return error;
    auto found = key.key->values.find(Lower(name));
    if (found == key.key->values.end())
        return ERROR_FILE_NOT_FOUND;
    const Value& value = found->second;
    const std::vector<BYTE> bytes =
        wide && IsStringType(value.type) ? NarrowBytesToWide(value.data) : value.data;
    if (type != nullptr)
        *type = value.type;
    if (size == nullptr)
        return ERROR_SUCCESS;
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0)
        std::memcpy(data, bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

std::string NameOf(LPCSTR name) { return name == nullptr ? std::string() : std::string(name); }

}  // namespace

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result)
{
    return OpenOrCreate(key, subKey, access, false, result, nullptr);
}

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result)
{
    return OpenOrCreate(key, nxplat::NarrowName(subKey).c_str(), access, false, result, nullptr);
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    return OpenOrCreate(key, subKey, access, true, result, disposition);
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    return OpenOrCreate(key, nxplat::NarrowName(subKey).c_str(), access, true, result, disposition);
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    return SetValue(key, NameOf(name), type, std::vector<BYTE>(data, data + size));
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes = IsStringType(type) ? WideBytesToNarrow(data, size)
                                                 : std::vector<BYTE>(data, data + size);
    return SetValue(key, nxplat::NarrowName(name), type, std::move(bytes));
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    return QueryValue(key, NameOf(name), type, data, size, false);
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD size)
{
    return QueryValue(key, nxplat::NarrowName(name), type, data, size, true);
}

LONG WINAPI RegEnumKeyExA(HKEY handle, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD,
                          LPSTR keyClass, LPDWORD classLength, PFILETIME lastWrite)
{
    if (name == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    Session session;
    OpenKey key;
    if (LONG error = session.Resolve(handle, &key))
        return error;
    if (LONG error = CheckAccess(key, KEY_ENUMERATE_SUB_KEYS))
        return error;
    if (index >= key.key->children.size())
        return ERROR_NO_MORE_ITEMS;
    auto child = key.key->children.begin();
    std::advance(child, index);
    const std::string& childName = child->second->name;
    if (childName.size() + 1 > *nameLength)
        return ERROR_MORE_DATA;
    std::memcpy(name, childName.c_str(), childName.size() + 1);
    *nameLength = static_cast<DWORD>(childName.size());
    if (keyClass != nullptr && classLength != nullptr && *classLength > 0) {
        keyClass[0] = 0;
        *classLength = 0;
    }
    if (lastWrite != nullptr)
        *lastWrite = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY handle, LPCSTR subKey)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    Session session;
    OpenKey start;
    if (LONG error = session.Resolve(handle, &start))
        return error;
    const std::vector<std::string> parts = SplitPath(subKey);
    if (parts.empty())
        return ERROR_ACCESS_DENIED;  // the key itself: refused (roots above all)
    std::shared_ptr<Key> parent = start.key;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        parent = FindChild(*parent, parts[i]);
        if (!parent)
            return ERROR_FILE_NOT_FOUND;
    }
    std::shared_ptr<Key> target = FindChild(*parent, parts.back());
    if (!target)
        return ERROR_FILE_NOT_FOUND;
    if (!target->children.empty())
        return ERROR_ACCESS_DENIED;
    target->deleted = true;
    parent->children.erase(Lower(parts.back()));
    session.Changed();
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY handle, LPCSTR name)
{
    Session session;
    OpenKey key;
    if (LONG error = session.Resolve(handle, &key))
        return error;
    if (LONG error = CheckAccess(key, KEY_SET_VALUE))
        return error;
    if (key.key->values.erase(Lower(NameOf(name))) == 0)
        return ERROR_FILE_NOT_FOUND;
    session.Changed();
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY handle)
{
    Session session;
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    if (value >= kFirstRoot && value < kFirstRoot + kRootCount)
        return ERROR_SUCCESS;
    return session.registry.handles.erase(handle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);  // guards systemDirectory
    const std::string& directory = registry.systemDirectory;
    const UINT length = static_cast<UINT>(directory.size());
    if (buffer == nullptr || size <= length)
        return length + 1;
    std::memcpy(buffer, directory.c_str(), length + 1);
    return length;
}

void platform_test::SetSystemDirectory(const std::string& directory)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);  // guards systemDirectory
    registry.systemDirectory = directory;
}

void platform_test::ResetRegistry()
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);  // guards the whole registry
    ClearTree(registry);
    registry.loaded = true;
}

bool platform_test::LoadRegistry(const std::string& path)
{
    std::shared_ptr<Key> roots[kRootCount];
    if (!ParseFile(path, roots))
        return false;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);  // guards the whole registry
    ClearTree(registry);
    for (int i = 0; i < kRootCount; ++i)
        registry.roots[i] = roots[i];
    registry.loaded = true;
    return true;
}

bool platform_test::SaveRegistry(const std::string& path)
{
    Session session;  // reads NX_REGISTRY_FILE first, if pending
    return SaveTo(session.registry, path);
}
