// A registry storage: the keys and values of the machine's registry as one
// file format holds them, read at a run's first registry call and written
// back once at its end. The registry calls (registry.cpp, and spooler.cpp
// through them) see a storage only through this interface.
//
// Keys are named by KeyId, a number the storage hands out; it stays valid
// for the whole run, and names a deleted key as such. Key and value names
// compare without regard to ASCII case and keep the case they were given.
#pragma once

#include "platform/posix/api/base.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace win95
{

using KeyId = std::uint32_t;
constexpr KeyId NoKey = 0xFFFFFFFFu;
constexpr std::size_t MaxKeyName = 0xFFFFFF; // the longest key name a storage must hold

struct Value
{
    std::string name; // empty for the default value
    DWORD type = 0;
    std::string data; // the exact bytes, whatever the type
};

// Receives written bytes in pieces; false stops the writing.
using WriteSink = std::function<bool(const char*, std::size_t)>;

class Storage
{
  public:
    virtual ~Storage() = default;

    // Tells this storage from every other one of the process, even from one
    // freed where it now stands: what is remembered about a storage's keys
    // holds for it alone.
    std::uint64_t Serial() const
    {
        return serial_;
    }

    // HKEY_LOCAL_MACHINE; made on demand when the storage lacks it.
    virtual KeyId LocalMachine() = 0;
    // HKEY_CLASSES_ROOT, which is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
    virtual KeyId ClassesRoot() = 0;

    // The subkey of that name, or NoKey.
    virtual KeyId Find(KeyId parent, std::string_view name) const = 0;
    // The existing subkey of that name, or a new one after its siblings.
    virtual KeyId Create(KeyId parent, std::string_view name) = 0;
    // The subkey at that position in enumeration order; NoKey past the last.
    virtual KeyId Subkey(KeyId key, std::uint32_t index) = 0;
    // The key above; NoKey above the root keys.
    virtual KeyId Parent(KeyId key) const = 0;
    virtual std::string_view Name(KeyId key) const = 0;
    // False once the key or one above it has been deleted.
    virtual bool Exists(KeyId key) const = 0;
    // Removes the key and everything under it.
    virtual void Delete(KeyId key) = 0;

    // ERROR_SUCCESS when the format can hold a subkey of that name under
    // the key; otherwise the error that creating it answers, and Create
    // must not be called.
    virtual LONG KeyRefusal(KeyId, std::string_view name) const
    {
        return name.size() > MaxKeyName ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    }
    // The same for giving the key this value: what setting it answers.
    virtual LONG ValueRefusal(KeyId, std::string_view, DWORD, std::string_view)
    {
        return ERROR_SUCCESS;
    }

    // The value of that name ("" for the default value), or null; valid
    // until the key's values next change.
    virtual const Value* FindValue(KeyId key, std::string_view name) = 0;
    // Gives the value this type and exactly these bytes, making it if needed.
    virtual void SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) = 0;
    // Each of the key's values as FindValue answers it, in the order they stand.
    virtual void ForEachValue(KeyId key, const std::function<void(const Value&)>& visit) = 0;

    // True once anything differs from what was read.
    virtual bool Changed() const = 0;
    // Writes the whole storage out, in its format; false as soon as `write` fails.
    virtual bool Write(const WriteSink& write) const = 0;

  private:
    static std::uint64_t NextSerial()
    {
        static std::uint64_t last = 0;
        return ++last;
    }

    std::uint64_t serial_ = NextSerial();
};

} // namespace win95
