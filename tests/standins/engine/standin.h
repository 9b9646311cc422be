// The engine stand-in's classes as its entry points (standin_main.cpp) serve
// them: in a test program's process (test_engine.dll) or in a process of its
// own (test_engine.exe).
#pragma once

#include <windows.h>
#include <string>

#include "engine_h.h"
#include "framework/module.h"
#include "test_engine_h.h"

namespace tdm::standin {

// The engine class and the control class, both registered by REGISTRY
// resource 101.
extern const ClassEntry kClasses[2];

// Registers both classes with `server` ("InprocServer32" or "LocalServer32")
// naming `command`, and both type libraries of the module.
HRESULT RegisterServer(const wchar_t* server, const std::wstring& command) noexcept;

// Called (once, on the thread that releases it) when the last object of the
// stand-in is gone: the local server ends then.
void OnLastObjectGone(void (*gone)()) noexcept;

// The local server: every object and every call is on the process's one
// apartment, where the event sinks are called directly.
void ServeInOneApartment() noexcept;

}  // namespace tdm::standin
