#include "framework/activation_context.h"

#include <mutex>

#include "framework/lock.h"
#include "framework/module.h"

namespace tdm {

namespace {
tdm::srw_lock g_contextLock;
HANDLE g_context = INVALID_HANDLE_VALUE;
bool g_contextTried = false;
constexpr WORD kManifestId = 3;
}  // namespace

HANDLE ModuleActivationContext() noexcept
{
    std::lock_guard<tdm::srw_lock> guard(g_contextLock);
    if (!g_contextTried)
    {
        g_contextTried = true;
        ACTCTXW context{};
        context.cbSize = sizeof(context);
        context.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        context.hModule = CModule::Instance().ModuleInstance();
        context.lpResourceName = MAKEINTRESOURCEW(kManifestId);
        g_context = ::CreateActCtxW(&context);
    }
    return g_context;
}

void ReleaseModuleActivationContext() noexcept
{
    std::lock_guard<tdm::srw_lock> guard(g_contextLock);
    if (g_context != INVALID_HANDLE_VALUE)
        ::ReleaseActCtx(g_context);
    g_context = INVALID_HANDLE_VALUE;
    g_contextTried = false;
}

CActivationScope::CActivationScope() noexcept
{
    const HANDLE context = ModuleActivationContext();
    if (context != INVALID_HANDLE_VALUE)
        m_active = ::ActivateActCtx(context, &m_cookie) != FALSE;
}

CActivationScope::~CActivationScope()
{
    if (m_active)
        ::DeactivateActCtx(0, m_cookie);
}

}  // namespace tdm
