// The engine's objects behind a vesk::Reader, for code built on the library
// that describes a file the way the engine sees it (the tool's JSON
// description of a dictionary, shared with the Python module). Not part of
// the exported interface.
#pragma once

#include "api_internal.h"
#include "reader_impl.h"

class SystemFileDataSource;

namespace vesk::detail {

struct EngineAccess {
    // Runs f(source, file) under the engine lock in the reader's encoding:
    // `source` is the top of the reader's chain (texts in that encoding),
    // `file` the system-file reader at its bottom. Library errors come out as
    // vesk::Error.
    template <class F>
    static decltype(auto) With(const Reader& reader, F&& f) {
        const Reader::Impl& r = *reader.fImpl;
        const auto lock = LockEngine();
        const EncodingScope scope(r.fEncoding);
        return Guarded([&] { return f(static_cast<const VESK_DataSource&>(*r.fSource), *r.fFile); });
    }
};

}  // namespace vesk::detail
