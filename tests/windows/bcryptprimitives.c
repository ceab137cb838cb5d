/* ProcessPrng for Wine releases that lack bcryptprimitives.dll (Wine 8.0):
 * Rust-built extension modules (Rust's standard library takes its random
 * seeds from it) import it at load time. Built by scripts/test-windows.sh
 * and put beside python.exe only when the Wine prefix has none of its own. */
#include <windows.h>
#include <bcrypt.h>

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size)
{
    while (size > 0) {
        ULONG chunk = size > 0x10000000 ? 0x10000000 : (ULONG)size;
        if (BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return FALSE;
        data += chunk;
        size -= chunk;
    }
    return TRUE;
}
