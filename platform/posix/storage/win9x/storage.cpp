#include "platform/posix/storage/win9x/storage.h"

#include <algorithm>
#include <vector>

namespace win95
{
namespace
{

static_assert(Hive9x::NoKey == NoKey, "a missing key reads the same in both");

class Hive9xStorage final : public Storage
{
  public:
    explicit Hive9xStorage(std::unique_ptr<Hive9x> hive) : hive_(std::move(hive)) {}

    KeyId LocalMachine() override
    {
        return hive_->Root();
    }

    // A key made only to reach HKEY_CLASSES_ROOT stays out of the file
    // until a key or value is put in or under it, as on a machine folder.
    KeyId ClassesRoot() override
    {
        KeyId key = hive_->Root();
        for (std::string_view name : {"SOFTWARE", "Classes"})
        {
            KeyId below = hive_->Find(key, name);
            if (below == NoKey)
            {
                quietOnly_ = !hive_->Changed() || quietOnly_;
                below = hive_->Create(key, name);
                quiet_.push_back(below);
            }
            key = below;
        }
        return key;
    }

    KeyId Find(KeyId parent, std::string_view name) const override
    {
        return hive_->Find(parent, name);
    }

    KeyId Create(KeyId parent, std::string_view name) override
    {
        KeyId key = hive_->Find(parent, name);
        if (key != NoKey && !IsQuiet(key))
            return key;
        Speak(parent);
        return key != NoKey ? Speak(key) : hive_->Create(parent, name);
    }

    // The file links each key to its next sibling only: a walk through the
    // subkeys by rising index goes on from where the last call stopped.
    KeyId Subkey(KeyId key, std::uint32_t index) override
    {
        if (key != listed_ || index < listedIndex_ || listedKey_ == NoKey ||
            !hive_->Exists(listedKey_))
        {
            listed_ = key;
            listedIndex_ = 0;
            listedKey_ = hive_->FirstChild(key);
        }
        while (listedIndex_ < index && listedKey_ != NoKey)
        {
            listedKey_ = hive_->NextSibling(listedKey_);
            ++listedIndex_;
        }
        return listedKey_;
    }

    KeyId Parent(KeyId key) const override
    {
        return hive_->Parent(key);
    }

    std::string_view Name(KeyId key) const override
    {
        return hive_->Name(key);
    }

    bool Exists(KeyId key) const override
    {
        return hive_->Exists(key);
    }

    void Delete(KeyId key) override
    {
        hive_->Delete(key);
        quietOnly_ = false;
        listed_ = NoKey;
    }

    LONG KeyRefusal(KeyId parent, std::string_view name) const override
    {
        return hive_->CheckKey(parent, name) == Hive9x::Limit::None ? ERROR_SUCCESS
                                                                    : ERROR_INVALID_PARAMETER;
    }

    LONG ValueRefusal(KeyId key, std::string_view name, DWORD type, std::string_view data) override
    {
        switch (hive_->CheckValue(key, name, type, data))
        {
        case Hive9x::Limit::None:
            return ERROR_SUCCESS;
        case Hive9x::Limit::Record:
            return ERROR_NOT_ENOUGH_MEMORY;
        case Hive9x::Limit::Recordless:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_INVALID_PARAMETER;
        }
    }

    const Value* FindValue(KeyId key, std::string_view name) override
    {
        return hive_->FindValue(key, name);
    }

    void SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) override
    {
        Speak(key);
        hive_->SetValue(key, name, type, data);
    }

    void ForEachValue(KeyId key, const std::function<void(const Value&)>& visit) override
    {
        for (const Value& value : hive_->Values(key))
            visit(value);
    }

    bool Changed() const override
    {
        return hive_->Changed() && !quietOnly_;
    }

    // The keys still quiet are left out: nothing is in or under them.
    bool Write(const WriteSink& write) const override
    {
        return hive_->Write(write, quiet_);
    }

  private:
    bool IsQuiet(KeyId key) const
    {
        return std::find(quiet_.begin(), quiet_.end(), key) != quiet_.end();
    }

    // The key and those above it are in the file from now on; a change follows.
    KeyId Speak(KeyId key)
    {
        for (KeyId up = key; up != NoKey; up = hive_->Parent(up))
            quiet_.erase(std::remove(quiet_.begin(), quiet_.end(), up), quiet_.end());
        quietOnly_ = false;
        return key;
    }

    std::unique_ptr<Hive9x> hive_;
    std::vector<KeyId> quiet_; // keys made only to reach HKEY_CLASSES_ROOT
    bool quietOnly_ = false;   // the quiet keys are all that changed
    KeyId listed_ = NoKey;     // the key whose subkeys were last listed
    std::uint32_t listedIndex_ = 0;
    KeyId listedKey_ = NoKey; // its subkey at listedIndex_
};

} // namespace

std::unique_ptr<Storage> HiveStorage(std::unique_ptr<Hive9x> hive)
{
    return std::make_unique<Hive9xStorage>(std::move(hive));
}

} // namespace win95
