// The four COM classes served by the module.
#pragma once

#include "framework/module.h"

namespace tdm {

const ClassEntry* ModuleClasses(size_t* count) noexcept;

// Remembers the instance handle, the class table and the language-change hook:
// stores only, safe under the loader lock. Called at process attach; test
// programs that link the module's code call it with their own instance handle.
void InitModule(HINSTANCE instance) noexcept;

// DllCanUnloadNow: S_OK, after releasing the class objects, the type libraries,
// the activation context and the file icons, when no object or lock of the
// module is left.
HRESULT CanUnloadModule() noexcept;

}  // namespace tdm
