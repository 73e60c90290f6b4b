#include "net/system_dlls.h"

namespace {

// GetProcAddress hands back a FARPROC; a detour through the generic
// function pointer type keeps the compiler from warning of the cast.
template <typename Function>
void Resolve(HMODULE dll, const char *name, Function *slot, bool *complete)
{
    *slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
    *complete = *complete && *slot;
}

#define PELMORA_RESOLVE(name) Resolve(dll, #name, &table.name, &complete);

// Each table is filled once; a second thread that asks meanwhile fills an
// identical one, which does no harm.
template <typename Table>
const Table *LoadOnce(Table &table, volatile LONG &state, const char *dllName,
                      bool (*fill)(HMODULE, Table &))
{
    if (state == 0) {
        HMODULE dll = LoadLibraryA(dllName);
        InterlockedExchange(&state, dll && fill(dll, table) ? 1 : -1);
    }
    return state > 0 ? &table : NULL;
}

bool FillWininet(HMODULE dll, WininetFunctions &table)
{
    bool complete = true;
    PELMORA_WININET_FUNCTIONS(PELMORA_RESOLVE)
    return complete;
}

bool FillWsock(HMODULE dll, WsockFunctions &table)
{
    bool complete = true;
    PELMORA_WSOCK_FUNCTIONS(PELMORA_RESOLVE)
    return complete;
}

WininetFunctions g_wininet;
WsockFunctions g_wsock;
volatile LONG g_wininetState, g_wsockState;  // 0: not tried, 1: loaded, -1: absent

}  // namespace

const WininetFunctions *Wininet()
{
    return LoadOnce(g_wininet, g_wininetState, "WININET.DLL", FillWininet);
}

const WsockFunctions *Wsock()
{
    return LoadOnce(g_wsock, g_wsockState, "WSOCK32.DLL", FillWsock);
}
