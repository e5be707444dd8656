// What a run changes in the registry, for a run with WIN95REPORT=1 or
// WIN95DRYRUN=1: a storage that passes every call on to the storage it
// holds and remembers, the first time a call changes a key, how the key
// stood before (whether it was there, and its values; for a key deleted,
// every key and value under it), so that the run's changes can be told
// without reading the whole registry twice.
#pragma once

#include "platform/posix/storage/storage.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace win95
{

class ChangeRecorder final : public Storage
{
  public:
    explicit ChangeRecorder(std::unique_ptr<Storage> inner);

    // The keys and values the run added, changed and removed, as REGEDIT4
    // text in the style of a unified diff: "+" before each line added, "-"
    // before each line removed, " " before the key line of a key whose
    // values changed; empty when nothing changed.
    std::string Report();

    KeyId LocalMachine() override;
    KeyId ClassesRoot() override;
    KeyId Find(KeyId parent, std::string_view name) const override;
    KeyId Create(KeyId parent, std::string_view name) override;
    KeyId Subkey(KeyId key, std::uint32_t index) override;
    KeyId Parent(KeyId key) const override;
    std::string_view Name(KeyId key) const override;
    bool Exists(KeyId key) const override;
    void Delete(KeyId key) override;
    LONG KeyRefusal(KeyId key, std::string_view name) const override;
    LONG ValueRefusal(KeyId key, std::string_view name, DWORD type, std::string_view data) override;
    const Value* FindValue(KeyId key, std::string_view name) override;
    void SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) override;
    void ForEachValue(KeyId key, const std::function<void(const Value&)>& visit) override;
    bool Changed() const override;
    bool Write(const WriteSink& write) const override;

  private:
    // A key as it stood before the run first changed it.
    struct Before
    {
        std::string path;
        bool existed;
        std::vector<Value> values;
    };

    std::string PathOf(KeyId key);
    void Remember(KeyId key, bool existed);
    void RememberPath(const std::string& path, bool existed);
    KeyId Lookup(const std::string& path);
    std::vector<Value> ValuesOf(KeyId key);

    std::unique_ptr<Storage> inner_;
    std::vector<Before> before_;                         // in the order first changed
    std::unordered_map<std::string, std::size_t> known_; // upper-cased path to its place
};

} // namespace win95
