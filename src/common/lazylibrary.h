#pragma once

#include <dlfcn.h>

namespace quaverlink {

// A system library mapped on first use rather than at start-up, so that a
// receiver that never needs it (no play history, no status page) neither
// loads nor relocates it. Its functions are defined here under their own
// names and forward to the library's, found by dlsym; the compiler checks
// each definition against the library's own header.
template<const char *Soname>
class LazyLibrary final
{
public:
    // The function, or nothing when the library or the name is missing.
    template<typename Function>
    static Function *resolve(const char *name)
    {
        static void *const handle = ::dlopen(Soname, RTLD_NOW | RTLD_LOCAL);
        return handle ? reinterpret_cast<Function *>(::dlsym(handle, name)) : nullptr;
    }
};

} // namespace quaverlink

// Defines the C function name with the given parameters, forwarding to the
// library's; fallback is what it returns when the library cannot be loaded.
#define QUAVERLINK_FORWARD(Library, Return, name, parameters, arguments, fallback)                                     \
    extern "C" Return name parameters                                                                                  \
    {                                                                                                                  \
        static auto *const forward = Library::resolve<Return parameters>(#name);                                       \
        return forward ? forward arguments : fallback;                                                                 \
    }
