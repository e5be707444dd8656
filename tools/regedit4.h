// REGEDIT4 text for the converter: reading it key by key and value by
// value, and writing it as regedit does.
#pragma once

#include "platform/posix/os/fault.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace regconv
{

// Receives each key line's path, then the values under it in order.
struct TextSink
{
    std::function<bool(std::string_view path)> key;
    std::function<bool(std::string_view name, std::uint32_t type, std::string_view data)> value;
};

// Reads REGEDIT4 text; false, with `fault` filled ("line 12" as its place),
// when it is malformed or a sink call answered false (then `fault.what` is
// empty). A quoted string
// stands for its bytes and one zero byte, as regedit takes it.
bool ReadText(std::string_view text, const TextSink& sink, win95::Fault& fault);

} // namespace regconv
