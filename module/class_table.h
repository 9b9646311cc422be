// The four COM classes served by the module.
#pragma once

#include "framework/module.h"

namespace tdm {

const ClassEntry* ModuleClasses(size_t* count) noexcept;

// Sets up the module state (class table, instance handle, type library) and reads
// the interface language. Called at process attach; test programs that link the
// module's code call it with their own instance handle.
void InitModule(HINSTANCE instance) noexcept;
void TermModule() noexcept;

}  // namespace tdm
